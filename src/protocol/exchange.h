// The command/reply exchange with the controller, and the plain line reader.
//
// The caller holds the connection's I/O lock for the whole call (the connection probe aside,
// which runs before anyone else can reach the connection).
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/line_assembler.h"
#include "protocol/link.h"
#include "protocol/status_report.h"

namespace korvane {

// Reading loops wait this long for one byte, and sleep this long when none came.
constexpr std::uint32_t kByteWaitMs = 50;
constexpr std::uint32_t kIdleSleepMs = 5;
// A reply line must arrive within one window of an exchange.
constexpr std::uint32_t kExchangeWindowMs = 100;
// Limit of the status query that follows an "ok".
constexpr std::uint32_t kStatusQueryTimeoutMs = 500;

// Sends command ("?" as the single real-time byte, anything else as a line) and reads replies
// until one settles the call: 0 once a status report with a known state arrived (it is in
// *report and stored through the link), 7 on an "error:" line, 5 on time-out; an "ok" to a
// line command is followed by a fresh "?" query whose result is returned. 1 when the link is
// not connected, 4 when the write fails.
std::int32_t exchange(Link& link, const char* command, StatusReport* report,
                      std::uint32_t timeoutMs);

// Continues collecting a line into line until it completes (true) or timeoutMs pass (false,
// the partial line stays in line for a later call to continue).
bool continueLine(Link& link, LineAssembler& line, std::uint32_t timeoutMs);

// Reads one complete, non-empty line into buffer (at most size - 1 characters, terminated).
// False after timeoutMs without one; the buffer is then not to be used.
bool readLine(Link& link, char* buffer, std::size_t size, std::uint32_t timeoutMs);

// Writes command as a line: 0, 1 when not connected, 4 ("Serial write failed for: ...").
std::int32_t sendCommand(Link& link, const char* command);

}  // namespace korvane
