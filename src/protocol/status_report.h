// The parsed form of one status report, and the parser that fills it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "korvane/korvane.h"

namespace korvane {

constexpr int kAxisCount = 6;
constexpr int kLimitCount = 4;

struct StatusReport {
    std::int32_t state = KORVANE_STATE_UNKNOWN;  // a MachineState value
    float positions[kAxisCount] = {};
    std::int32_t positionCount = 0;
    float feed = 0.0f;
    std::int32_t limits[kLimitCount] = {};
};

bool operator==(const StatusReport& a, const StatusReport& b);

// The MachineState whose word the field begins with (a prefix match, case-sensitive, so
// "Hold:0" is Hold), or KORVANE_STATE_UNKNOWN.
std::int32_t machineStateFromField(const char* field);

// The state word for a MachineState value ("Idle", ...), or "Unknown".
const char* machineStateName(std::int32_t state);

// Parses the text between the first '<' and the '>' after it. Returns true only for a report
// whose state word is known. Text without both brackets, or with 512 or more characters
// between them, is rejected and leaves *report untouched; anything else first zeroes *report,
// so a report with an unknown state is rejected with its other fields filled in.
bool parseStatusReport(const char* text, StatusReport* report);

// The longest text between the brackets that the parser accepts.
constexpr std::size_t kMaxReportBody = 511;

}  // namespace korvane
