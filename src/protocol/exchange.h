// The command/reply exchange with the controller, the wait for rest after a stop, and the
// plain line reader.
//
// The caller holds the connection's I/O lock for the whole call (the connection probe aside,
// which runs before anyone else can reach the connection). Long waits let other calls through
// between their polls (Link::pauseIo).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "protocol/line_assembler.h"
#include "protocol/link.h"
#include "protocol/status_report.h"
#include "protocol/wire.h"

namespace korvane {

// Reading loops wait this long for one byte, and sleep this long when none came.
constexpr std::uint32_t kByteWaitMs = 50;
constexpr std::uint32_t kIdleSleepMs = 5;
// Limit of the status query that follows an "ok".
constexpr std::uint32_t kStatusQueryTimeoutMs = 500;
// Waiting for rest: a status query this often, the waiting given up when no report came for
// kSilenceLimitMs (the controller is gone) or after kRestCapMs in all (a machine that never
// comes to rest, or a deceleration longer than any real one).
constexpr std::uint32_t kRestPollMs = 50;
constexpr std::uint32_t kSilenceLimitMs = 1000;
constexpr std::uint32_t kRestCapMs = 30000;
// Once the machine rests, a line still unanswered is read within the controller's usual
// reply time; this much on top of twice the slowest reply seen before it counts as dropped.
constexpr std::uint32_t kLateReplyMarginMs = 300;
// The longest a command waits for replies still owed to earlier lines, however slow the
// controller has been.
constexpr std::uint32_t kEarlierRepliesCapMs = 10000;
// Owed replies count as lost, and are forgotten, only after the line has been quiet this
// long (or longer, for a controller seen to be slower).
constexpr std::uint32_t kLostReplyQuietMs = 2000;
// How long after a report showed the machine at rest following a cancel the next line waits.
constexpr std::uint32_t kSettleAfterRestMs = 60;

// Whether a wait should go on; empty means always.
using KeepGoing = std::function<bool()>;

// One reply line as read and booked.
struct Reply {
    ReplyKind kind = ReplyKind::Other;
    const char* text = "";  // valid until the next read on the link
    Wire::Payment paid;     // for "ok" and "error:" lines
    bool parsed = false;    // a status report with a known state, in report
    StatusReport report;
    Wire::ReportNote note;
};

// Reads one complete reply line, waiting at most timeoutMs, and books it: an "ok" or "error:"
// pays the oldest debt, a status report is noted. False when no line completed in time (a
// partial line is kept for the next read).
bool readReply(Link& link, std::uint32_t timeoutMs, Reply* reply);

// Sends command ("?" as the single real-time byte, anything else as a line of the given kind)
// and reads replies until one settles the call: 0, 7 on an "error:", 5 on time-out, 1 when
// not connected, 4 when the write fails.
//
// "?" is settled by the first status report with a known state after the query: 0, the
// report in *report and stored through the link. An "error:" that pays no debt fails it.
//
// A line command first waits for rest after a stop and for the replies still owed to earlier
// lines (see prepareForLine); then it is settled by its own verdict only: its "ok", followed
// by a fresh "?" query whose result is returned, or its "error:", after which an empty line
// goes out so that a controller that latches errors lets the next command through. Replies
// that pay earlier lines' debts, and reports read before the "ok", settle nothing.
std::int32_t exchange(Link& link, const char* command, StatusReport* report,
                      std::uint32_t timeoutMs, LineKind kind = LineKind::Setting);

// Before a line is written: after a stop, waits until a report shows the machine at rest
// (controllers read no line while they slow down); then reads the replies still owed to
// earlier lines, up to timeoutMs or twice the slowest reply seen plus kLateReplyMarginMs,
// whichever is longer (at most kEarlierRepliesCapMs). Debts of lines written before a
// cancel, unpaid then, are written off (the cancel may have dropped them). Other debts
// unpaid then mean the controller is out of step: 5 with a message saying so. They stay
// owed while replies keep coming in (late, not lost); once no reply has come for
// kLostReplyQuietMs (or the longer wait) they are written off and the account starts afresh. 0 when
// the line may go; 1 when not connected.
std::int32_t prepareForLine(Link& link, std::uint32_t timeoutMs, const KeepGoing& keepGoing = {});

// How the controller answered one line.
enum class Verdict { Accepted, Refused, NoReply, Abandoned };

// Reads replies until the verdict on line arrives, timeoutMs pass (NoReply; the debt stays
// owed) or keepGoing says stop (Abandoned). On Refused the "error:" line stays in
// link.pendingLine() until the next read, and an empty line has gone out to clear a latched
// error.
Verdict awaitVerdict(Link& link, std::uint64_t line, std::uint32_t timeoutMs,
                     const KeepGoing& keepGoing = {});

// Writes command as a line: 0 with its number in *line, 1 when not connected, 4 ("Serial
// write failed for: ...").
std::int32_t sendCommand(Link& link, const char* command, LineKind kind, std::uint64_t* line);

// Waits until the machine is known to rest after the last cancel or hold: a report taken
// after it shows neither Jog, Run nor Hold, and every jog line written before it has been
// answered (or written off once the machine rests). With recancel set, a jog that a
// controller accepted after the cancel had acted gets a cancel of its own. Polls "?" every
// kRestPollMs and lets other calls through between polls.
// 0; 5 "Timeout waiting for response" when the controller fell silent or kRestCapMs passed;
// 4 when a poll or cancel could not be written; -1 when keepGoing said stop.
constexpr std::int32_t kRestAbandoned = -1;
std::int32_t confirmRest(Link& link, bool recancel, const KeepGoing& keepGoing = {});

// Writes real-time bytes through the wire: 0, 1 when not connected, 4 ("Serial write
// failed").
std::int32_t writeRealtime(Link& link, const unsigned char* bytes, std::size_t count);

// Continues collecting a line into line until it completes (true) or timeoutMs pass (false,
// the partial line stays in line for a later call to continue).
bool continueLine(Link& link, LineAssembler& line, std::uint32_t timeoutMs);

// Reads one complete, non-empty line into buffer (at most size - 1 characters, terminated).
// False after timeoutMs without one; the buffer is then not to be used. Books nothing.
bool readLine(Link& link, char* buffer, std::size_t size, std::uint32_t timeoutMs);

}  // namespace korvane
