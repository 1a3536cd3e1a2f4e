// Everything the four status queries report, read in one go, and the ways the tool shows it.
#pragma once

#include <cstdint>
#include <string>

#include "korvane/korvane.h"

namespace korvane::tool {

struct StatusReading {
    std::int32_t state = KORVANE_STATE_UNKNOWN;
    float positions[6] = {};
    std::int32_t count = 0;
    float feed = 0.0f;
    std::int32_t limits[4] = {};
};

// The four queries in order; the first failure ends it. `call` names the failing export.
ResultCode readStatus(DeviceHandle handle, StatusReading* reading, const char** call);

// Multi-line text: state, positions, feed, limits.
std::string statusBlock(const StatusReading& reading);
// One line for the monitor.
std::string statusLine(const StatusReading& reading);
// {"state":{"name":..,"value":..},"positions":[..],"count":..,"feed":..,"limits":[..]}
std::string statusJson(const StatusReading& reading);
// {"positions":[..],"count":..}
std::string positionsJson(const float* positions, std::int32_t count);

}  // namespace korvane::tool
