// Names of the library's result codes, machine states and axes, for people and scripts.
#pragma once

#include <cstdint>
#include <string>

namespace korvane::tool {

inline constexpr int kAxisCount = 6;

// "SUCCESS", "FIRMWARE_ERROR", ...; "UNKNOWN_RESULT" for a code the header does not define.
const char* resultName(std::int32_t result);
// "7 FIRMWARE_ERROR"
std::string resultText(std::int32_t result);
// "Idle", "Jog", ...; "Unknown" for 0 and anything out of range.
const char* stateName(std::int32_t state);
// "Idle (1)"
std::string stateText(std::int32_t state);
// 'x' .. 'c' for 0..5, '?' otherwise.
char axisLetter(int axis);
// Whether a failure with this code leaves a fresh message behind (1, 8 and 9 never do, so
// Korvane_GetLastError would still show an older one).
bool resultStoresMessage(std::int32_t result);

}  // namespace korvane::tool
