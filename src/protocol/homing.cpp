#include "protocol/homing.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/deadline.h"
#include "protocol/controller_codes.h"
#include "protocol/exchange.h"
#include "protocol/line_assembler.h"

namespace korvane {

namespace {
// Between two polls the I/O lock is let go this long, so that waiting calls get through.
constexpr std::uint32_t kHomingPauseMs = 2;
// The command's own wait for earlier replies.
constexpr std::uint32_t kHomingPrepareMs = 2000;
}  // namespace

HomingWatch::Outcome HomingWatch::evaluate(const char* line) {
    switch (classifyReply(line)) {
        case ReplyKind::Error:
            return Outcome::Error;
        case ReplyKind::Ok:
            return Outcome::Continue;
        case ReplyKind::Other:
            return std::strncmp(line, "ALARM:", 6) == 0 ? Outcome::AlarmLine : Outcome::Continue;
        case ReplyKind::StatusLine:
            break;
    }
    StatusReport report;
    if (!parseStatusReport(line, &report)) return Outcome::Continue;
    return observe(report);
}

HomingWatch::Outcome HomingWatch::observe(const StatusReport& report) {
    if (report.state == KORVANE_STATE_HOME) {
        homeSeen_ = true;
        return Outcome::Continue;
    }
    if (!homeSeen_) return Outcome::Continue;
    report_ = report;
    return report.state == KORVANE_STATE_ALARM ? Outcome::Alarm : Outcome::Homed;
}

namespace {

// "Homing failed: alarm state", and when the controller said why in an "ALARM:" line during
// the cycle, that line with its meaning: a user can act on "no limit switch was found", not
// on a bare state.
void reportAlarm(Link& link, bool alarmLineSeen) {
    if (!alarmLineSeen) {
        link.setLastError("Homing failed: alarm state");
        return;
    }
    char line[Wire::kAlarmLineSize];
    link.wire().lastAlarmLine(line);
    link.setLastError("Homing failed: alarm state: %s", ExplainedLine(line).c_str());
}

// Ends the wait for one outcome: 0 or 7 with the message, or -1 to go on. alarmLineSeen: an
// "ALARM:" line was booked since the cycle began.
std::int32_t conclude(Link& link, HomingWatch& watch, HomingWatch::Outcome outcome,
                      const char* line, bool alarmLineSeen) {
    switch (outcome) {
        case HomingWatch::Outcome::Continue:
            return -1;
        case HomingWatch::Outcome::Error:
            link.setLastError("Homing error: %s", ExplainedLine(line).c_str());
            link.wire().writeLine("", LineKind::Empty);  // clears a latched error
            return KORVANE_FIRMWARE_ERROR;
        case HomingWatch::Outcome::Alarm:
            link.storeStatus(watch.report(), link.wire().epoch());
            reportAlarm(link, alarmLineSeen);
            return KORVANE_FIRMWARE_ERROR;
        case HomingWatch::Outcome::AlarmLine:
            // The same failure, told by the controller's message instead of a report; no
            // report came, so the cache keeps what it had.
            reportAlarm(link, true);
            return KORVANE_FIRMWARE_ERROR;
        case HomingWatch::Outcome::Homed:
            link.storeStatus(watch.report(), link.wire().epoch());
            return KORVANE_SUCCESS;
    }
    return -1;
}

std::int32_t watchCycle(Link& link, std::uint64_t command) {
    Wire& wire = link.wire();
    const Deadline deadline(kHomingTimeoutMs);
    HomingWatch watch;
    std::uint64_t reportsSeen = wire.reportCount();
    const std::uint64_t alarmsBefore = wire.alarmLines();
    std::uint64_t alarmsSeen = alarmsBefore;
    auto alarmLineSeen = [&] { return wire.alarmLines() != alarmsBefore; };
    // What other readers took while the lock was let go counts as if read here.
    auto catchUp = [&]() -> HomingWatch::Outcome {
        HomingWatch::Outcome outcome = HomingWatch::Outcome::Continue;
        if (wire.alarmLines() != alarmsSeen) outcome = HomingWatch::Outcome::AlarmLine;
        const std::uint64_t reports = wire.reportCount();
        if (outcome == HomingWatch::Outcome::Continue && reports != reportsSeen) {
            if (wire.lastHomeReport() > reportsSeen) {
                StatusReport home;
                home.state = KORVANE_STATE_HOME;
                watch.observe(home);
            }
            if (watch.homeSeen() && wire.lastHomeReport() < reports) {
                outcome = watch.observe(wire.lastReport());
            }
        }
        reportsSeen = reports;
        alarmsSeen = wire.alarmLines();
        return outcome;
    };

    const unsigned char poll = kStatusQueryByte;
    Reply reply;
    // A poll goes out only when a whole window passed without a complete line. The limit is
    // tested when a window runs out and after every line, so a controller that never stops
    // talking cannot hold the call past it.
    while (!deadline.passed()) {
        wire.writeRealtime(&poll, 1);  // a failed poll shows up as the time-out
        bool lineInWindow = true;
        while (lineInWindow && !deadline.passed()) {
            lineInWindow = readReply(link, kHomingWindowMs, &reply);
            if (!lineInWindow) break;
            HomingWatch::Outcome outcome = HomingWatch::Outcome::Continue;
            if (reply.kind == ReplyKind::Error) {
                // Its own refusal, or an error nobody owed: the cycle did not start.
                if (reply.paid.surplus || (reply.paid.line == command && reply.paid.first)) {
                    outcome = HomingWatch::Outcome::Error;
                }
            } else if (reply.parsed) {
                outcome = watch.observe(reply.report);
                reportsSeen = wire.reportCount();
            } else if (reply.kind == ReplyKind::Other) {
                outcome = watch.evaluate(reply.text);
                alarmsSeen = wire.alarmLines();
            }
            const std::int32_t result = conclude(link, watch, outcome, reply.text, alarmLineSeen());
            if (result >= 0) return result;
        }
        link.pauseIo(kHomingPauseMs);
        const HomingWatch::Outcome caughtUp = catchUp();
        const std::int32_t result = conclude(link, watch, caughtUp, "", alarmLineSeen());
        if (result >= 0) return result;
    }
    link.setLastError("Homing timeout");
    return KORVANE_TIMEOUT;
}

}  // namespace

std::int32_t runHoming(Link& link, const char* command) {
    const std::int32_t ready = prepareForLine(link, kHomingPrepareMs);
    if (ready != KORVANE_SUCCESS) return ready;
    std::uint64_t line = 0;
    const std::int32_t sent = sendCommand(link, command, LineKind::Motion, &line);
    if (sent != KORVANE_SUCCESS) return sent;
    const std::int32_t result = watchCycle(link, line);
    // A controller that answers no query while homing leaves its polls unanswered for good.
    link.wire().writeOffQueries();
    return result;
}

}  // namespace korvane
