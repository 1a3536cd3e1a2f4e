#include "pendant/pendant.h"

#include <algorithm>
#include <system_error>

#include "frame/api_names.h"
#include "frame/connection.h"
#include "frame/text_format.h"

namespace korvane::tool {

namespace {

bool endsJogging(std::int32_t state) {
    return state == KORVANE_STATE_ALARM || state == KORVANE_STATE_SLEEP ||
           state == KORVANE_STATE_DOOR;
}

std::string jogName(int axis, int direction) {
    const char letter = static_cast<char>(axisLetter(axis) - 'a' + 'A');
    return std::string(1, letter) + (direction > 0 ? "+" : "-");
}

}  // namespace

Pendant::Pendant(DeviceHandle handle, int releaseMs, int firstRepeatMs)
    : handle_(handle), releaseMs_(releaseMs), firstRepeatMs_(std::max(firstRepeatMs, releaseMs)) {}

Pendant::Clock::duration Pendant::releaseWindow() const {
    return std::chrono::milliseconds(keyRepeats_ ? releaseMs_ : firstRepeatMs_);
}

Pendant::~Pendant() {
    stopJogging();
}

bool Pendant::check(ResultCode result, std::string_view call) {
    if (result == KORVANE_SUCCESS) return true;
    say(std::string(call) + " failed: " + describeFailure(handle_, result), true);
    return false;
}

void Pendant::say(std::string text, bool error) {
    message_ = std::move(text);
    messageIsError_ = error;
}

bool Pendant::stopJogging() {
    jogging_ = false;
    // Called even when the pendant thinks nothing runs: it costs nothing then, and no
    // bookkeeping error of ours can leave the machine moving.
    const ResultCode result = Korvane_VelocityStop(handle_);
    if (result != KORVANE_SUCCESS) {
        check(result, "Korvane_VelocityStop");
        return false;
    }
    return true;
}

bool Pendant::shutdown() {
    bool ok = stopJogging();
    if (homingRuns()) {
        // A feed hold does not end a homing cycle on every controller; the emergency stop
        // does, and leaves the Alarm that an interrupted cycle leaves anyway.
        homingStopped_ = true;
        ok = check(Korvane_EmergencyStop(handle_), "Korvane_EmergencyStop") && ok;
    }
    if (homing_.valid()) finishHoming();
    if (stepMayRun_) {
        ok = check(Korvane_FeedHold(handle_), "Korvane_FeedHold") && ok;
        stepMayRun_ = false;
    }
    return ok;
}

std::string Pendant::jogRefusal() const {
    if (!fits_) return "the terminal is too small";
    if (!fresh_) return "jogging is off: the controller does not answer";
    const std::int32_t state = status_.state;
    if (state != KORVANE_STATE_IDLE && state != KORVANE_STATE_JOG) {
        std::string why =
            std::string("jogging needs Idle or Jog; the machine is in ") + stateName(state);
        if (state == KORVANE_STATE_ALARM) why += " (h homes it)";
        if (state == KORVANE_STATE_HOLD) why += " (r resumes)";
        return why;
    }
    return "";
}

void Pendant::press(const PendantKey& key, Clock::time_point now) {
    if (confirmHoming_) {
        confirmHoming_ = false;
        if (key.action == PendantAction::Confirm) {
            home();
            return;
        }
        say("homing cancelled");
        // Every other key still does what it does: a stop must never be swallowed.
    }
    switch (key.action) {
        case PendantAction::None:
        case PendantAction::Confirm:
            return;
        case PendantAction::Jog:
            jog(key, now);
            return;
        case PendantAction::ToggleMode:
            stopJogging();
            mode_ = mode_ == JogMode::Hold ? JogMode::Step : JogMode::Hold;
            say(mode_ == JogMode::Hold ? "hold-to-jog: the axis moves while its key is held"
                                       : "step jog: each press moves one step");
            return;
        case PendantAction::Step:
            stepIndex_ = std::clamp(key.index, 0, static_cast<int>(kPendantSteps.size()) - 1);
            return;
        case PendantAction::Faster:
            changeFeed(+1);
            return;
        case PendantAction::Slower:
            changeFeed(-1);
            return;
        case PendantAction::FeedHold:
            // The hold itself is the quickest stop: the library ends velocity mode with it.
            jogging_ = false;
            waitForRelease_ = true;
            if (check(Korvane_FeedHold(handle_), "Korvane_FeedHold")) {
                say("feed hold (r resumes held program motion; a held jog is over)");
            } else {
                // The hold may not have gone out: end velocity mode the other way.
                const std::string why = message_;
                stopJogging();
                say(why, true);
            }
            nextPoll_ = Clock::now();
            return;
        case PendantAction::Resume:
            if (check(Korvane_Resume(handle_), "Korvane_Resume")) say("resume sent");
            nextPoll_ = Clock::now();
            return;
        case PendantAction::EmergencyStop:
            jogging_ = false;
            waitForRelease_ = true;
            homingStopped_ = homingRuns();
            if (check(Korvane_EmergencyStop(handle_), "Korvane_EmergencyStop")) {
                say("EMERGENCY STOP: the machine is in Alarm; h homes it", true);
            }
            nextPoll_ = Clock::now();
            return;
        case PendantAction::Home:
            if (homingRuns()) {
                say("homing runs already");
                return;
            }
            stopJogging();
            confirmHoming_ = true;
            say("home all axes? y starts the cycle, any other key cancels");
            return;
        case PendantAction::Quit:
            stopJogging();
            quit_ = true;
            return;
    }
}

void Pendant::jog(const PendantKey& key, Clock::time_point now) {
    const bool sameKey = key.axis == lastKeyAxis_ && key.direction == lastKeyDirection_;
    const bool repeat = sameKey && now - lastKeyAt_ < releaseWindow();
    keyRepeats_ = repeat;
    lastKeyAxis_ = key.axis;
    lastKeyDirection_ = key.direction;
    lastKeyAt_ = now;
    if (homingRuns()) {
        say("jog keys do nothing while homing runs", true);
        return;
    }
    if (waitForRelease_) return;
    if (const std::string why = jogRefusal(); !why.empty()) {
        stopJogging();
        waitForRelease_ = true;
        say(why, true);
        return;
    }
    if (mode_ == JogMode::Step) {
        if (repeat) return;  // a held key: one press, one step
        const float distance = static_cast<float>(key.direction) * step();
        stepMayRun_ = true;  // also on failure: a time-out may follow an accepted jog
        if (check(Korvane_JogRel(handle_, key.axis, distance, feed()), "Korvane_JogRel")) {
            say("step " + jogName(key.axis, key.direction) + " " + fixed(step(), 3) + " at F" +
                fixed(feed(), 0));
        }
        nextPoll_ = Clock::now();
        return;
    }
    if (jogging_ && jogAxis_ == key.axis && jogDirection_ == key.direction) return;
    startOrChangeVelocity(key.axis, key.direction);
}

void Pendant::startOrChangeVelocity(int axis, int direction) {
    const float rate = static_cast<float>(direction) * feed();
    if (!check(Korvane_VelocityStart(handle_, axis, rate), "Korvane_VelocityStart")) {
        stopJogging();
        waitForRelease_ = true;
        return;
    }
    jogging_ = true;
    jogAxis_ = axis;
    jogDirection_ = direction;
    say("");
}

void Pendant::changeFeed(int delta) {
    const int last = static_cast<int>(kPendantFeeds.size()) - 1;
    feedIndex_ = std::clamp(feedIndex_ + delta, 0, last);
    if (jogging_) startOrChangeVelocity(jogAxis_, jogDirection_);
}

void Pendant::home() {
    stopJogging();
    say("homing all axes (up to 30 s; e stops the machine)");
    homingStopped_ = false;
    try {
        // The thread gets the handle only: whatever it reports goes through the future.
        homing_ = std::async(std::launch::async, [handle = handle_] {
            const ResultCode result = Korvane_Home(handle, KORVANE_AXIS_ALL);
            return HomingOutcome{result,
                                 result == KORVANE_SUCCESS ? "" : describeFailure(handle, result)};
        });
    } catch (const std::system_error& error) {
        say(std::string("homing not started: ") + error.what(), true);
    }
    nextPoll_ = Clock::now();
}

bool Pendant::homingRuns() const {
    return homing_.valid() &&
           homing_.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
}

void Pendant::finishHoming() {
    const HomingOutcome outcome = homing_.get();  // waits; the future is empty afterwards
    if (outcome.result == KORVANE_SUCCESS) {
        say("homing done");
    } else if (!homingStopped_) {
        say("Korvane_Home failed: " + outcome.failure, true);
    }
    // Keys held during the cycle must not start a jog the moment it ends.
    waitForRelease_ = true;
    lastKeyAt_ = Clock::now();
    nextPoll_ = Clock::now();
}

void Pendant::setTerminalFits(bool fits) {
    if (fits_ && !fits) stopJogging();
    fits_ = fits;
}

void Pendant::tick(Clock::time_point now) {
    if (homing_.valid() && !homingRuns()) finishHoming();
    if (now - lastKeyAt_ >= releaseWindow()) {
        if (jogging_) stopJogging();
        waitForRelease_ = false;
    }
    if (Clock::now() >= nextPoll_) poll();
}

void Pendant::poll() {
    const Clock::time_point started = Clock::now();
    nextPoll_ = started + std::chrono::milliseconds(kStatusPeriodMs);
    StatusReading reading;
    const char* call = "";
    const ResultCode result = readStatus(handle_, &reading, &call);
    if (result != KORVANE_SUCCESS) {
        // Stop first: a controller that does not answer may still be moving the machine.
        const bool wasJogging = jogging_;
        stopJogging();
        if (wasJogging) waitForRelease_ = true;
        check(result, call);
        if (wasJogging) message_ += " - jogging stopped";
        fresh_ = false;
        lostContact_ = true;
        return;
    }
    if (lostContact_) say("the controller answers again");
    lostContact_ = false;
    fresh_ = true;
    if (reading.state != KORVANE_STATE_JOG) stepMayRun_ = false;
    status_ = reading;
    if (jogging_ && endsJogging(reading.state)) {
        stopJogging();
        waitForRelease_ = true;
        say(std::string("jogging ended: the machine is in ") + stateName(reading.state), true);
    }
}

Pendant::Clock::time_point Pendant::nextDeadline() const {
    Clock::time_point deadline = nextPoll_;
    if (jogging_ || waitForRelease_) {
        deadline = std::min(deadline, lastKeyAt_ + releaseWindow());
    }
    return deadline;
}

}  // namespace korvane::tool
