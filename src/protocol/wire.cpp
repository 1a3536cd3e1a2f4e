#include "protocol/wire.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "korvane/korvane.h"
#include "platform/clock.h"

namespace korvane {

namespace {
// A reply that took longer than this says nothing about the controller's usual pace (it was
// held up by a deceleration, say); margins computed from the slowest reply stop here.
constexpr std::uint32_t kSlowestReplyCapMs = 5000;
}  // namespace

// A jog that slows down shows Jog, or Hold on controllers where a hold ends the jog; a
// controller reads no line until it has stopped. Run is program motion, which a jog cancel
// does not touch and the library never starts.
bool Wire::atRest(std::int32_t state) {
    return state != KORVANE_STATE_JOG && state != KORVANE_STATE_HOLD;
}

void Wire::setLineEnds(std::uint32_t perLine, std::uint32_t perEmptyLine) {
    std::lock_guard<std::mutex> lock(mutex_);
    perLine_ = perLine == 0 ? 1 : perLine;
    perEmptyLine_ = perEmptyLine;
}

std::uint64_t Wire::writeLine(const char* text, LineKind kind,
                              const std::function<bool()>& writeWhile) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (writeWhile && !writeWhile()) return 0;
    if (!port_.writeLine(text)) return 0;
    const std::uint64_t line = nextLine_++;
    const std::uint32_t owed = kind == LineKind::Empty ? perEmptyLine_ : perLine_;
    if (owed > 0) debts_.push_back(Debt{line, owed, kind, false, false, tickCount32()});
    if (kind == LineKind::Jog || kind == LineKind::Motion) ++epoch_;
    return line;
}

bool Wire::writeRealtime(const unsigned char* bytes, std::size_t count, std::uint64_t* lastQuery) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!port_.writeRaw(bytes, count)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        switch (bytes[i]) {
            case kStatusQueryByte:
                ++queriesWritten_;
                if (lastQuery != nullptr) *lastQuery = queriesWritten_;
                break;
            case kJogCancelByte:
                // Unanswered jog lines are now uncertain: cancelled if read before the cancel,
                // run if read after it, dropped by some controllers.
                for (Debt& d : debts_) {
                    if (d.kind == LineKind::Jog && !d.answered) d.beforeCancel = true;
                }
                jogRunning_ = false;
                stopMarker_ = queriesWritten_ + 1;
                restPending_ = true;
                ++epoch_;
                break;
            case kFeedHoldByte:
                // A hold of program motion leaves lines readable; a jog that a hold ends is
                // cancelled as well by every stop that holds, so the wait for rest comes
                // from that cancel.
            case kResumeByte:
                ++epoch_;
                break;
            default:
                break;
        }
    }
    return true;
}

Wire::Payment Wire::pay(bool ok, std::uint32_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    Payment paid;
    anyReply_ = true;
    lastReplyTick_ = now;
    if (debts_.empty()) return paid;
    Debt& debt = debts_.front();
    paid.surplus = false;
    paid.line = debt.line;
    paid.kind = debt.kind;
    paid.first = !debt.answered;
    if (!debt.answered) {
        debt.answered = true;
        slowestReplyMs_ =
            std::max(slowestReplyMs_, std::min(elapsedMs(debt.writtenAt, now), kSlowestReplyCapMs));
        if (debt.kind == LineKind::Jog && ok) {
            // Read before the cancel acted, the cancel ended it; read after, it runs.
            if (!debt.beforeCancel || queriesAnswered_ >= stopMarker_) jogRunning_ = true;
        }
    }
    if (--debt.remaining == 0) debts_.pop_front();
    return paid;
}

Wire::ReportNote Wire::noteReport(const StatusReport& report) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++reports_;
    lastReport_ = report;
    if (report.state == KORVANE_STATE_HOME) lastHomeReport_ = reports_;
    // Reports answer queries in order; one that answers none (printed by the controller on
    // its own) moves nothing.
    ReportNote note;
    if (queriesAnswered_ < queriesWritten_) note.query = ++queriesAnswered_;
    const bool afterStop = queriesAnswered_ >= stopMarker_;
    bool motionUnanswered = false;
    for (const Debt& d : debts_) {
        if (!d.answered && (d.kind == LineKind::Jog || d.kind == LineKind::Motion)) {
            motionUnanswered = true;
        }
    }
    if (restPending_ && afterStop && atRest(report.state)) {
        restPending_ = false;
        restSeen_ = true;
        restSeenTick_ = tickCount32();
    }
    if (!restPending_ && !motionUnanswered) {
        // With every jog line answered and no cancel under way, the report says whether a jog
        // runs; but an open door only freezes a jog where it is, and it runs on after the
        // resume, so Door leaves the answer as it was.
        if (report.state != KORVANE_STATE_DOOR) jogRunning_ = report.state == KORVANE_STATE_JOG;
    }
    note.freshness = motionUnanswered ? 0 : epoch_;
    return note;
}

void Wire::noteAlarmLine(const char* line) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++alarmLines_;
    std::snprintf(lastAlarmLine_, sizeof lastAlarmLine_, "%s", line);
}

bool Wire::owesReplies() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !debts_.empty();
}

bool Wire::owesOnlyUncertain() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::all_of(debts_.begin(), debts_.end(),
                       [](const Debt& d) { return d.beforeCancel && !d.answered; });
}

bool Wire::hasUnansweredJog(bool beforeCancel) const {
    return std::any_of(debts_.begin(), debts_.end(), [beforeCancel](const Debt& d) {
        return d.kind == LineKind::Jog && !d.answered && d.beforeCancel == beforeCancel;
    });
}

bool Wire::awaitsJogVerdict() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hasUnansweredJog(true) || hasUnansweredJog(false);
}

void Wire::writeOffUncertain(bool allJogs) {
    std::lock_guard<std::mutex> lock(mutex_);
    debts_.erase(std::remove_if(debts_.begin(), debts_.end(),
                                [allJogs](const Debt& d) {
                                    if (d.answered) return false;
                                    return d.beforeCancel || (allJogs && d.kind == LineKind::Jog);
                                }),
                 debts_.end());
}

void Wire::writeOffAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    debts_.clear();
}

void Wire::writeOffQueries() {
    std::lock_guard<std::mutex> lock(mutex_);
    queriesAnswered_ = queriesWritten_;
}

bool Wire::jogMayRun() {
    std::lock_guard<std::mutex> lock(mutex_);
    return jogRunning_ || hasUnansweredJog(false);
}

bool Wire::jogRunning() {
    std::lock_guard<std::mutex> lock(mutex_);
    return jogRunning_;
}

bool Wire::restPending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return restPending_;
}

std::uint64_t Wire::epoch() {
    std::lock_guard<std::mutex> lock(mutex_);
    return epoch_;
}

std::uint32_t Wire::slowestReplyMs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return slowestReplyMs_;
}

bool Wire::restSeenAt(std::uint32_t* tick) {
    std::lock_guard<std::mutex> lock(mutex_);
    *tick = restSeenTick_;
    return restSeen_;
}

bool Wire::lastReplyAt(std::uint32_t* tick) {
    std::lock_guard<std::mutex> lock(mutex_);
    *tick = lastReplyTick_;
    return anyReply_;
}

std::uint64_t Wire::reportCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return reports_;
}

std::uint64_t Wire::lastHomeReport() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastHomeReport_;
}

StatusReport Wire::lastReport() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastReport_;
}

std::uint64_t Wire::alarmLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return alarmLines_;
}

void Wire::lastAlarmLine(char (&out)[kAlarmLineSize]) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::memcpy(out, lastAlarmLine_, sizeof out);
}

}  // namespace korvane
