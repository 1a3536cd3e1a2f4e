// Everything written to the controller goes through the Wire, which keeps the account of what
// the controller still owes for it.
//
// Replies carry no sequence numbers, but a controller answers lines in the order it reads them
// and real-time bytes at once. So each line written is owed its replies (one per line end the
// controller sees: CR LF is one line end on some controllers and two on others), and each "ok"
// or "error:" read pays the oldest debt. A command is settled by its own reply only; a late
// reply of an earlier command pays that command's debt and is never believed for a later one.
//
// The Wire also follows what the real-time bytes did to motion:
//   - a jog cancel (0x85) ends the jogs written before it, or some of them: a line still
//     unread when the cancel arrives is read afterwards (after the deceleration) and then
//     runs. Which one happened shows in the order of replies: a status query written with
//     the cancel is answered when the cancel has acted, so a jog accepted after that report
//     started after the cancel and needs a cancel of its own;
//   - after a cancel or a hold, the machine may be slowing down, and a controller reads no
//     line until it stands: no line is written until a report taken after the cancel shows
//     the machine at rest;
//   - a report is fresh when every motion line written before it had been answered when it
//     was read; only fresh reports say anything about the motion now.
//
// One lock guards each write together with its entry in the account, so that the account
// knows the order of bytes on the wire. It is held for the write and the bookkeeping only,
// never for a wait: real-time bytes get onto the wire while another thread waits for a reply.
// Reading replies is the business of whoever holds the connection's I/O lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

#include "protocol/status_report.h"
#include "serial/serial_port.h"

namespace korvane {

// What a line does, for the account: jog lines can be cancelled, motion lines make the cached
// state stale, empty lines clear a controller's latched error.
enum class LineKind { Setting, Motion, Jog, Empty };

// Real-time bytes the library writes.
inline constexpr unsigned char kStatusQueryByte = '?';
inline constexpr unsigned char kFeedHoldByte = '!';
inline constexpr unsigned char kResumeByte = '~';
inline constexpr unsigned char kJogCancelByte = 0x85;

class Wire {
  public:
    // What one "ok" or "error:" paid.
    struct Payment {
        bool surplus = true;     // nothing was owed: an echo of nothing, to be dropped
        std::uint64_t line = 0;  // the line whose debt it paid
        LineKind kind = LineKind::Setting;
        bool first = false;  // the first reply to that line: its verdict
    };

    // What a status report tells beyond its fields.
    struct ReportNote {
        std::uint64_t freshness = 0;  // 0: stale; else the motion epoch it describes
        std::uint64_t query = 0;      // the status query it answered; 0: none (unsolicited)
    };

    explicit Wire(SerialPort& port) : port_(port) {}
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;

    // How many replies the controller sends for a line and for an empty line, learnt at
    // connect (1 and 1 until then).
    void setLineEnds(std::uint32_t perLine, std::uint32_t perEmptyLine);

    // Writes text with CR LF and records what is owed for it. Returns the line's number, or 0
    // when the write failed (nothing is then owed: what the controller got is unknown) or
    // when writeWhile, tested under the write lock, said no. A stop that clears that flag
    // before it asks jogMayRun() thereby either sees the line or keeps it off the wire.
    std::uint64_t writeLine(const char* text, LineKind kind,
                            const std::function<bool()>& writeWhile = {});
    // Writes real-time bytes in one write: '?' is owed a report, 0x85 ends the jogs before it
    // and starts a wait for rest, '!' and '~' make the cached state stale. False when the
    // write failed.
    // With lastQuery, the number of the last '?' among the bytes is stored there.
    bool writeRealtime(const unsigned char* bytes, std::size_t count,
                       std::uint64_t* lastQuery = nullptr);

    // Books one "ok" (ok true) or "error:" line.
    Payment pay(bool ok, std::uint32_t now);
    // Books one status report with a known state.
    ReportNote noteReport(const StatusReport& report);
    // Books an "ALARM:" line; the last one is kept for the message of a failure it caused.
    void noteAlarmLine(const char* line);

    // Some debt is unpaid.
    bool owesReplies();
    // Every unpaid debt belongs to lines written before the last cancel, which a controller
    // may have dropped unread.
    bool owesOnlyUncertain();
    // An unanswered jog line is left, written before or after the last cancel.
    bool awaitsJogVerdict();
    // Forgets unanswered lines written before the last cancel: the cancel dropped them. With
    // allJogs, every unanswered jog line (once the machine rests and their time is up).
    void writeOffUncertain(bool allJogs = false);
    // Forgets every debt: the controller is out of step and starts afresh.
    void writeOffAll();
    // Stops waiting for reports to status queries that went unanswered.
    void writeOffQueries();

    // A jog may run that no cancel has ended: one was accepted (or is unanswered) since the
    // last cancel, or a report shows Jog while no cancel is under way.
    bool jogMayRun();
    // A jog runs that no cancel has ended: accepted since the last cancel acted (also one
    // written before the cancel but read after it), or shown by a report while no cancel is
    // under way.
    bool jogRunning();
    // A cancel was written and no report taken after it has shown the machine at rest.
    bool restPending();
    // The motion epoch: changes with every motion line and stop byte written.
    std::uint64_t epoch();
    // The slowest time from a line to its first reply seen on this connection.
    std::uint32_t slowestReplyMs();
    // When a report last showed the machine at rest after a cancel (a tick count); whether
    // one did.
    bool restSeenAt(std::uint32_t* tick);
    // When the last "ok" or "error:" was booked (a tick count); whether any was.
    bool lastReplyAt(std::uint32_t* tick);

    // Reports read so far, the last one, and the number of the last one showing Home.
    std::uint64_t reportCount();
    std::uint64_t lastHomeReport();
    StatusReport lastReport();
    std::uint64_t alarmLines();
    // The last "ALARM:" line booked (cut to kAlarmLineSize - 1 characters); "" when none was.
    static constexpr std::size_t kAlarmLineSize = 64;
    void lastAlarmLine(char (&out)[kAlarmLineSize]);

  private:
    struct Debt {
        std::uint64_t line = 0;
        std::uint32_t remaining = 0;
        LineKind kind = LineKind::Setting;
        bool answered = false;
        bool beforeCancel = false;
        std::uint32_t writtenAt = 0;
    };

    static bool atRest(std::int32_t state);
    bool hasUnansweredJog(bool beforeCancel) const;

    SerialPort& port_;
    std::mutex mutex_;
    std::deque<Debt> debts_;
    std::uint64_t nextLine_ = 1;
    std::uint32_t perLine_ = 1;
    std::uint32_t perEmptyLine_ = 1;
    std::uint64_t queriesWritten_ = 0;
    std::uint64_t queriesAnswered_ = 0;
    // The query whose report is the first one taken after the last cancel or hold acted.
    std::uint64_t stopMarker_ = 0;
    bool restPending_ = false;
    // A jog runs that was accepted, or shown by a report, since the last cancel. Unknown at
    // first: the machine may have been jogging before the connection.
    bool jogRunning_ = true;
    std::uint64_t epoch_ = 1;
    std::uint32_t slowestReplyMs_ = 0;
    bool restSeen_ = false;
    std::uint32_t restSeenTick_ = 0;
    bool anyReply_ = false;
    std::uint32_t lastReplyTick_ = 0;
    std::uint64_t reports_ = 0;
    std::uint64_t lastHomeReport_ = 0;
    StatusReport lastReport_;
    std::uint64_t alarmLines_ = 0;
    char lastAlarmLine_[kAlarmLineSize] = {};
};

}  // namespace korvane
