#include "protocol/homing.h"

#include <cstring>

#include "platform/clock.h"
#include "protocol/exchange.h"
#include "protocol/line_assembler.h"

namespace korvane {

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
    if (report.state == KORVANE_STATE_HOME) {
        homeSeen_ = true;
        return Outcome::Continue;
    }
    if (!homeSeen_) return Outcome::Continue;
    report_ = report;
    return report.state == KORVANE_STATE_ALARM ? Outcome::Alarm : Outcome::Homed;
}

std::int32_t waitForHoming(Link& link) {
    const std::uint32_t start = tickCount32();
    HomingWatch watch;
    LineAssembler line;
    const unsigned char poll = '?';
    // A poll goes out only when a whole window passed without a complete line. The limit is
    // tested when a window runs out and after every line, so a controller that never stops
    // talking cannot hold the call past it. A partial line is kept across windows: a report
    // that straddles a window's end (the single Home report of a controller that answers no
    // query while homing, say) must not be lost.
    while (elapsedMs(start, tickCount32()) < kHomingTimeoutMs) {
        link.serialPort().writeRaw(&poll, 1);  // a failed poll shows up as the time-out
        bool lineInWindow = true;
        while (lineInWindow && elapsedMs(start, tickCount32()) < kHomingTimeoutMs) {
            lineInWindow = false;
            const std::uint32_t windowStart = tickCount32();
            while (elapsedMs(windowStart, tickCount32()) < kHomingWindowMs) {
                unsigned char byte = 0;
                if (link.serialPort().readBytes(&byte, 1, kByteWaitMs) != 1) {
                    sleepMs(kIdleSleepMs);
                    continue;
                }
                if (!line.push(byte)) continue;
                switch (watch.evaluate(line.line())) {
                    case HomingWatch::Outcome::Continue:
                        break;
                    case HomingWatch::Outcome::Error:
                        link.setLastError("Homing error: %s", line.line());
                        return KORVANE_FIRMWARE_ERROR;
                    case HomingWatch::Outcome::Alarm:
                        link.storeStatus(watch.report());
                        link.setLastError("Homing failed: alarm state");
                        return KORVANE_FIRMWARE_ERROR;
                    case HomingWatch::Outcome::AlarmLine:
                        // The same failure, told by the controller's message instead of a
                        // report; no report came, so the cache keeps what it had.
                        link.setLastError("Homing failed: alarm state");
                        return KORVANE_FIRMWARE_ERROR;
                    case HomingWatch::Outcome::Homed:
                        link.storeStatus(watch.report());
                        return KORVANE_SUCCESS;
                }
                lineInWindow = true;  // each complete line opens a new window, without a poll
                break;
            }
        }
    }
    link.setLastError("Homing timeout");
    return KORVANE_TIMEOUT;
}

}  // namespace korvane
