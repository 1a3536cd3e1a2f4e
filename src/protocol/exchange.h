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
// How long after a command line's reply a late "ok" of that line may still arrive.
constexpr std::uint32_t kTrailingOkWindowMs = 100;

// Sends command ("?" as the single real-time byte, anything else as a line) and reads replies
// until one settles the call, 7 on an "error:" line, 5 on time-out, 1 when the link is not
// connected, 4 when the write fails.
//
// "?" is settled by the first status report with a known state: 0, the report in *report
// and stored through the link. A line command is settled only by its own "ok", which is
// followed by a fresh "?" query whose result is returned, or by an "error:" line. A status
// report that arrives before the "ok" may be an old one still on its way (from a query that
// timed out, or homing's last poll), so it neither settles the command nor is stored.
//
// A line may straddle the end of a reading window: its first part is kept for the next one.
//
// A line command first waits out what remains of the trailing-ok window of the line before
// it (see settleTrailingOk), unless settle is None.
enum class Settle { AfterPreviousLine, None };
std::int32_t exchange(Link& link, const char* command, StatusReport* report,
                      std::uint32_t timeoutMs, Settle settle = Settle::AfterPreviousLine);

// How the controller answered a command line.
enum class LineReply { Accepted, Refused, NoReply };

// Reads replies to a line written just before (without purging) until its "ok" (Accepted) or
// an "error:" line (Refused) arrives, or timeoutMs pass (NoReply). Status reports and other
// lines are passed over.
LineReply awaitLineReply(Link& link, std::uint32_t timeoutMs);

// Some controllers take CR and LF as two line ends and answer the empty line between them
// with an "ok" of its own, which follows the line's reply by the time the controller takes to
// read a line. Nothing waits for it: once a command is settled, the call returns. Left in
// flight, it would arrive after the next command's purge and pass for that command's
// acceptance, a refused command's included. So a command line written within
// kTrailingOkWindowMs of the previous line's reply first reads and discards what arrives
// until that window has passed. Commands further apart, and status queries, pay nothing.
void settleTrailingOk(Link& link);
// Marks the reply to a command line as read (or waited for in vain) now.
void noteLineSettled(Link& link);

// Continues collecting a line into line until it completes (true) or timeoutMs pass (false,
// the partial line stays in line for a later call to continue).
bool continueLine(Link& link, LineAssembler& line, std::uint32_t timeoutMs);

// Reads one complete, non-empty line into buffer (at most size - 1 characters, terminated).
// False after timeoutMs without one; the buffer is then not to be used.
bool readLine(Link& link, char* buffer, std::size_t size, std::uint32_t timeoutMs);

// Writes command as a line: 0, 1 when not connected, 4 ("Serial write failed for: ...").
std::int32_t sendCommand(Link& link, const char* command);

}  // namespace korvane
