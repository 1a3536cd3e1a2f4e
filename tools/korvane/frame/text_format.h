// Text building that does not depend on the host's locale: the tool calls
// setlocale(LC_ALL, "") like any GUI host, yet its numbers always use '.' so that its output
// reads the same everywhere and its JSON stays JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace korvane::tool {

// value with exactly `decimals` digits after '.'; "nan"/"inf" for values that are not finite.
std::string fixed(double value, int decimals);
// value with an explicit sign for positive numbers: "+600", "-0.500".
std::string signedFixed(double value, int decimals);

// Pads with spaces to `width` characters (counted as bytes; the tool's own texts are ASCII).
std::string padRight(std::string_view text, std::size_t width);
std::string padLeft(std::string_view text, std::size_t width);

// A JSON string literal, quotes included.
std::string jsonString(std::string_view text);
// A JSON number with three decimals, or null when it is not finite.
std::string jsonNumber(double value);

// "x 1.000  y 2.000 ..." for the first `count` of the six positions (at most six).
std::string positionsText(const float* positions, std::int32_t count);

}  // namespace korvane::tool
