// Numbers and status reports as the simulator writes them: '.' as the decimal point in every
// locale (std::to_chars, never printf).
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "simulator.h"

namespace korvane::sim {

// Three decimals, as "%.3f" prints in the "C" locale: 1.5 -> "1.500".
std::string formatFixed3(double value);

// The shortest text that reads back as the same value: 600 -> "600", 0.5 -> "0.5".
std::string formatShortest(double value);

// "<Word|MPos:x,y,z,a,b,c|FS:feed,0|Lim:l0,l1,l2,l3>", without a line end.
std::string formatStatusReport(std::string_view stateField,
                               const std::array<double, kAxisCount>& positions, double feed,
                               const std::array<int, 4>& limitPins);

}  // namespace korvane::sim
