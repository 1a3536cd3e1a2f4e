// The device-UUID query: "$device_uuid" and the one reply line that carries the value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/link.h"

namespace korvane {

constexpr std::uint32_t kUuidTimeoutMs = 2000;
constexpr std::size_t kUuidLineSize = 256;

// The value in an answer line: the text after the first '=', or the whole line.
const char* uuidValueOf(const char* line);

// Copies value into buffer as a bounded string copy of at most length - 1 characters, zero
// filling the rest; the last byte is always zero. length must be at least 1.
void copyUuidValue(const char* value, char* buffer, std::size_t length);

// Sends "$device_uuid" (once the replies owed to earlier lines are in) and waits up to
// 2000 ms for the answer line, skipping "ok" lines and status reports; an "error:" that is
// the query's own verdict fails it. 0 with the value in buffer (at most 255 characters of the
// line count), 4, 5 or 7 with a message; the "ok" after the value is left owed.
// The caller holds the I/O lock and has checked the connection and the buffer.
std::int32_t queryDeviceUuid(Link& link, char* buffer, std::size_t length);

}  // namespace korvane
