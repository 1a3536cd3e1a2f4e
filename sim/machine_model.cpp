#include "machine_model.h"

#include <cmath>
#include <utility>

#include "wire_format.h"

namespace korvane::sim {

namespace {

// Numbers of the "ALARM:<n>" lines the machine prints when it falls into Alarm by itself.
constexpr int kAlarmExternal = 1;
constexpr int kAlarmResetWhileMoving = 3;
constexpr int kAlarmHomingFailed = 6;
constexpr int kAlarmDoorDuringHoming = 7;

constexpr unsigned char kStatusQuery = '?';
constexpr unsigned char kFeedHold = '!';
constexpr unsigned char kResume = '~';
constexpr unsigned char kJogCancel = 0x85;
constexpr unsigned char kSoftReset = 0x18;

std::vector<std::string> ok() {
    return {"ok"};
}

std::vector<std::string> error(ErrorCode code) {
    return {"error:" + std::to_string(static_cast<int>(code))};
}

double distanceBetween(const std::array<double, kAxisCount>& a,
                       const std::array<double, kAxisCount>& b) {
    double sum = 0.0;
    for (int i = 0; i < kAxisCount; ++i) sum += (b[i] - a[i]) * (b[i] - a[i]);
    return std::sqrt(sum);
}

}  // namespace

const char* stateWord(MachineState state) {
    switch (state) {
        case MachineState::Idle:
            return "Idle";
        case MachineState::Run:
            return "Run";
        case MachineState::Jog:
            return "Jog";
        case MachineState::Hold:
            return "Hold";
        case MachineState::Alarm:
            return "Alarm";
        case MachineState::Home:
            return "Home";
        case MachineState::Sleep:
            return "Sleep";
        case MachineState::Door:
            return "Door";
        case MachineState::Check:
            return "Check";
    }
    return "Idle";
}

MachineModel::MachineModel(std::string uuid, TimePoint now)
    : uuid_(std::move(uuid)), lastAdvance_(now), homingEnd_(now) {}

void MachineModel::advance(TimePoint now) {
    if (now <= lastAdvance_) return;
    double seconds = std::chrono::duration<double>(now - lastAdvance_).count();
    lastAdvance_ = now;

    if (state_ == MachineState::Home) {
        if (now >= homingEnd_) finishHoming();
        return;
    }
    // A hold with nothing left to hold (its jog already over) is no hold: at rest.
    if (state_ == MachineState::Hold && motions_.empty()) {
        state_ = restingState();
        return;
    }
    // A held jog still slows down to its stop; held program motion stands.
    const bool heldJog = state_ == MachineState::Hold && jogInFront();
    if (!moving() && !heldJog) return;
    // Constant speed along each move, no acceleration ramps, so a position is exactly
    // feed x time along the path, which keeps the model predictable for its users. Only
    // the end of a cancelled or held jog takes the time and distance of a deceleration.
    while (seconds > 0.0 && !motions_.empty()) {
        const Motion& motion = motions_.front();
        const double length = distanceBetween(position_, motion.target);
        const double speed = motion.feed / 60.0;
        const double needed = length / speed;
        if (needed <= seconds) {
            position_ = motion.target;
            seconds -= needed;
            if (motion.decel) {
                lastDecelerationEnd_ = now - std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(seconds));
            }
            motions_.pop_front();
        } else {
            const double fraction = speed * seconds / length;
            for (int i = 0; i < kAxisCount; ++i) {
                position_[i] += (motion.target[i] - position_[i]) * fraction;
            }
            seconds = 0.0;
        }
    }
    if (motions_.empty()) {
        state_ = MachineState::Idle;
    } else if (!heldJog) {
        state_ = motions_.front().jog ? MachineState::Jog : MachineState::Run;
    }
}

std::vector<std::string> MachineModel::executeRealtime(unsigned char byte, TimePoint now) {
    advance(now);
    switch (byte) {
        case kStatusQuery:
            if (state_ == MachineState::Home && quietHoming_) return {};
            return {statusReport(now)};
        case kFeedHold:
            feedHold();
            return {};
        case kResume:
            deaf_ = false;
            resume();
            return {};
        case kJogCancel:
            jogsSinceCancel_ = 0;
            latchedError_.clear();
            if (deafAfterLateCancel_ && lateInDeceleration(now)) deaf_ = true;
            cancelJog();
            return {};
        case kSoftReset:
            // A restart: whatever kept the machine from reading lines is gone with it.
            deaf_ = false;
            latchedError_.clear();
            softReset();
            return {kBanner};
        default:
            return {};
    }
}

std::vector<std::string> MachineModel::executeLine(std::string_view line, TimePoint now) {
    advance(now);
    const bool motionLine = line.substr(0, 3) == "$J=" || (!line.empty() && line[0] != '$');
    std::vector<std::string> replies;
    if (motionLine && !latchedError_.empty()) {
        replies = {latchedError_};
    } else if (line.empty()) {
        replies = ok();
    } else {
        replies = executeCommand(line, now);
    }
    updateLatch(line, replies);
    return replies;
}

std::vector<std::string> MachineModel::rejectOverlongLine(TimePoint now) {
    advance(now);
    std::vector<std::string> replies = error(ErrorCode::LineTooLong);
    updateLatch({}, replies);
    return replies;
}

void MachineModel::updateLatch(std::string_view line, const std::vector<std::string>& replies) {
    if (!latchErrors_ || replies.empty()) return;
    const std::string& last = replies.back();
    if (last.rfind("error:", 0) == 0) {
        latchedError_ = last;
    } else if (line.empty() || (line[0] == '$' && line.substr(0, 3) != "$J=")) {
        latchedError_.clear();
    }
}

std::vector<std::string> MachineModel::executeCommand(std::string_view line, TimePoint now) {
    const Command command = parseCommand(line);

    // Queries and the emergency stop are served in every state.
    if (const auto* failure = std::get_if<ParseFailure>(&command)) return error(failure->code);
    if (std::holds_alternative<UuidQuery>(command)) return {"device_uuid=" + uuid_, "ok"};
    if (std::holds_alternative<HelpCommand>(command)) {
        return {"[HLP:$J $H $ES $X $MPos $axes $device_uuid $SLP $C]", "ok"};
    }
    if (const auto* setting = std::get_if<SettingCommand>(&command); setting && !setting->value) {
        const AxisSettings& s = settings_[setting->axis];
        std::string value;
        switch (setting->kind) {
            case SettingKind::Acceleration:
                value = formatFixed3(s.accelerationMmPerSec2);
                break;
            case SettingKind::SoftLimits:
                value = s.softLimits ? "true" : "false";
                break;
            case SettingKind::MaxTravel:
                value = formatFixed3(s.maxTravelMm);
                break;
            case SettingKind::HomingMpos:
                value = formatFixed3(s.homingMposMm);
                break;
        }
        std::string echo = "$axes/";
        echo += kAxisLetters[setting->axis];
        echo += '/';
        echo += settingName(setting->kind);
        return {echo + "=" + value, "ok"};
    }
    if (std::holds_alternative<EmergencyStopCommand>(command)) return executeEmergencyStop();
    if (std::holds_alternative<SleepCommand>(command)) {
        motions_.clear();
        state_ = MachineState::Sleep;
        return ok();
    }

    // Asleep, the machine takes nothing else until a soft reset wakes it.
    if (state_ == MachineState::Sleep) return error(ErrorCode::NotIdle);

    if (const auto* jog = std::get_if<JogCommand>(&command)) return executeJog(*jog);
    if (const auto* move = std::get_if<MoveCommand>(&command)) return executeMove(*move);
    if (const auto* home = std::get_if<HomeCommand>(&command)) return executeHome(*home, now);
    if (const auto* set = std::get_if<SetPositionCommand>(&command)) {
        return executeSetPosition(*set);
    }
    if (const auto* setting = std::get_if<SettingCommand>(&command)) {
        return executeSetting(*setting);
    }
    if (std::holds_alternative<UnlockCommand>(command)) {
        if (state_ == MachineState::Alarm) {
            state_ = restingState();
            return ok();
        }
        return state_ == MachineState::Idle ? ok() : error(ErrorCode::NotIdle);
    }
    if (std::holds_alternative<CheckModeCommand>(command)) {
        if (state_ == MachineState::Idle) {
            state_ = MachineState::Check;
            return ok();
        }
        if (state_ == MachineState::Check) {
            state_ = MachineState::Idle;
            return ok();
        }
        return error(ErrorCode::NotIdle);
    }
    return error(ErrorCode::UnknownCommand);
}

std::vector<std::string> MachineModel::executeJog(const JogCommand& jog) {
    if (state_ == MachineState::Alarm) return error(ErrorCode::AlarmLock);
    // A jog queues behind a jog under way (or slowing down after a cancel), but never behind
    // program motion, a hold or a cycle.
    if (state_ != MachineState::Idle && state_ != MachineState::Jog &&
        state_ != MachineState::Check) {
        return error(ErrorCode::NotIdle);
    }
    const std::array<double, kAxisCount> start =
        state_ == MachineState::Jog && !motions_.empty() ? motions_.back().target : position_;
    std::array<double, kAxisCount> target = start;
    target[jog.axis] = jog.relative ? start[jog.axis] + jog.value : jog.value;
    if (!withinSoftLimits(start, target)) return error(ErrorCode::SoftLimit);
    if (state_ == MachineState::Check || target == start) return ok();
    if (motions_.size() >= kPlannerDepth) return error(ErrorCode::NotIdle);

    motions_.push_back(Motion{target, jog.feed, true});
    state_ = MachineState::Jog;
    ++jogsSinceCancel_;
    return ok();
}

std::vector<std::string> MachineModel::executeMove(const MoveCommand& move) {
    if (state_ == MachineState::Alarm) return error(ErrorCode::AlarmLock);
    if (state_ != MachineState::Idle && state_ != MachineState::Run &&
        state_ != MachineState::Hold && state_ != MachineState::Check) {
        return error(ErrorCode::NotIdle);
    }
    // A held jog is not program motion to queue behind.
    if (state_ == MachineState::Hold && !motions_.empty() && motions_.front().jog) {
        return error(ErrorCode::NotIdle);
    }
    const int mode = move.motionMode.value_or(motionMode_);
    const bool relative = move.relative.value_or(relativeMode_);
    const double feed = move.feed.value_or(programFeed_);
    bool anyAxis = false;
    for (const auto& axis : move.axes) anyAxis = anyAxis || axis.has_value();
    if (anyAxis && mode == 1 && !(feed > 0.0)) return error(ErrorCode::UndefinedFeed);

    // Program moves chain: each starts where the one queued before it ends.
    const std::array<double, kAxisCount> start =
        motions_.empty() ? position_ : motions_.back().target;
    std::array<double, kAxisCount> target = start;
    for (int i = 0; i < kAxisCount; ++i) {
        if (move.axes[i]) target[i] = relative ? start[i] + *move.axes[i] : *move.axes[i];
    }
    if (!withinSoftLimits(start, target)) return error(ErrorCode::SoftLimit);
    if (anyAxis && motions_.size() >= kPlannerDepth) return error(ErrorCode::NotIdle);

    motionMode_ = mode;
    relativeMode_ = relative;
    if (move.feed) programFeed_ = *move.feed;
    if (state_ == MachineState::Check || target == start) return ok();

    motions_.push_back(Motion{target, mode == 0 ? kRapidFeed : feed, false});
    if (state_ == MachineState::Idle) state_ = MachineState::Run;
    return ok();
}

std::vector<std::string> MachineModel::executeHome(const HomeCommand& home, TimePoint now) {
    // Homing is the way out of an alarm, so it is taken there as well as at rest.
    if (state_ != MachineState::Idle && state_ != MachineState::Alarm) {
        return error(ErrorCode::NotIdle);
    }
    motions_.clear();
    state_ = MachineState::Home;
    homingEnd_ = now + homingDuration_;
    homingWillFail_ = homingFails_;
    homingAxis_ = home.axis;
    return ok();
}

std::vector<std::string> MachineModel::executeSetPosition(const SetPositionCommand& command) {
    const bool atRest = state_ == MachineState::Idle || state_ == MachineState::Alarm ||
                        state_ == MachineState::Check ||
                        (state_ == MachineState::Door && motions_.empty());
    if (!atRest) return error(ErrorCode::NotIdle);
    position_[command.axis] = command.value;
    return ok();
}

std::vector<std::string> MachineModel::executeEmergencyStop() {
    switch (emergencyStopLine_) {
        case EmergencyStopLine::Stops:
            enterAlarm(0);  // the command's own "ok" says what happened
            return ok();
        case EmergencyStopLine::Unknown:
            return error(ErrorCode::UnknownSetting);
        case EmergencyStopLine::ListsSettings:
            break;
    }
    std::vector<std::string> lines = settingsListing();
    lines.emplace_back("ok");
    return lines;
}

std::vector<std::string> MachineModel::settingsListing() const {
    // The four settings this machine knows come first with their values; the rest are what
    // such a controller also prints, so that the reply has the length of a real one.
    struct Extra {
        const char* name;
        const char* value;
    };
    static constexpr Extra kAxisExtras[] = {
        {"max_rate_mm_per_min", "5000.000"},
        {"steps_per_mm", "800.000"},
        {"homing/cycle", "1"},
        {"homing/positive_direction", "false"},
        {"homing/seek_mm_per_min", "800.000"},
        {"homing/feed_mm_per_min", "100.000"},
        {"homing/settle_ms", "250"},
        {"homing/seek_scaler", "1.100"},
        {"homing/feed_scaler", "1.100"},
        {"motor0/limit_neg_pin", "gpio.17:low:pu"},
        {"motor0/limit_pos_pin", "NO_PIN"},
        {"motor0/limit_all_pin", "NO_PIN"},
        {"motor0/hard_limits", "false"},
        {"motor0/pulloff_mm", "1.000"},
        {"motor0/stepstick/direction_pin", "gpio.14:low"},
        {"motor0/stepstick/step_pin", "gpio.12"},
        {"motor0/stepstick/disable_pin", "gpio.13:high"},
        {"motor0/stepstick/ms1_pin", "NO_PIN"},
        {"motor0/stepstick/ms2_pin", "NO_PIN"},
        {"motor0/stepstick/ms3_pin", "NO_PIN"},
        {"motor0/stepstick/reset_pin", "NO_PIN"},
    };
    static constexpr Extra kGeneral[] = {
        {"$start/must_home", "false"},
        {"$start/deactivate_parking_on_startup", "false"},
        {"$stepping/engine", "timed"},
        {"$stepping/idle_ms", "255"},
        {"$stepping/pulse_us", "4"},
        {"$stepping/direction_delay_us", "0"},
        {"$stepping/disable_delay_us", "0"},
        {"$report/status_interval_ms_when_idle", "0"},
        {"$control/safety_door_pin", "NO_PIN"},
        {"$control/feed_hold_pin", "NO_PIN"},
        {"$control/cycle_start_pin", "NO_PIN"},
        {"$control/reset_pin", "NO_PIN"},
        {"$arc_tolerance_mm", "0.002"},
        {"$junction_deviation_mm", "0.010"},
        {"$planner_blocks", "32"},
        {"$verbose_errors", "false"},
        {"$enable_parking_override_control", "false"},
        {"$use_line_numbers", "false"},
    };
    std::vector<std::string> lines;
    for (const Extra& extra : kGeneral) {
        lines.push_back(std::string(extra.name) + "=" + extra.value);
    }
    for (int i = 0; i < kAxisCount; ++i) {
        const std::string prefix = std::string("$axes/") + kAxisLetters[i] + "/";
        const AxisSettings& s = settings_[i];
        lines.push_back(prefix +
                        "acceleration_mm_per_sec2=" + formatFixed3(s.accelerationMmPerSec2));
        lines.push_back(prefix + "soft_limits=" + (s.softLimits ? "true" : "false"));
        lines.push_back(prefix + "max_travel_mm=" + formatFixed3(s.maxTravelMm));
        lines.push_back(prefix + "homing/mpos_mm=" + formatFixed3(s.homingMposMm));
        for (const Extra& extra : kAxisExtras) {
            lines.push_back(prefix + extra.name + "=" + extra.value);
        }
    }
    return lines;
}

std::vector<std::string> MachineModel::executeSetting(const SettingCommand& setting) {
    if (moving() || state_ == MachineState::Hold || state_ == MachineState::Home) {
        return error(ErrorCode::NotIdle);
    }
    AxisSettings& s = settings_[setting.axis];
    const double value = *setting.value;
    switch (setting.kind) {
        case SettingKind::Acceleration:
            s.accelerationMmPerSec2 = value;
            break;
        case SettingKind::SoftLimits:
            s.softLimits = value != 0.0;
            break;
        case SettingKind::MaxTravel:
            s.maxTravelMm = value;
            break;
        case SettingKind::HomingMpos:
            s.homingMposMm = value;
            break;
    }
    return ok();
}

std::vector<std::string> MachineModel::takeUnsolicited() {
    return std::exchange(unsolicited_, {});
}

MachineSnapshot MachineModel::snapshot(TimePoint now) {
    advance(now);
    MachineSnapshot snap;
    snap.state = state_;
    snap.positions = position_;
    snap.feed = moving() ? motions_.front().feed : 0.0;
    return snap;
}

std::string MachineModel::statusReport(TimePoint now) {
    const MachineSnapshot snap = snapshot(now);
    return formatStatusReport(stateField(), snap.positions, snap.feed, limitPins_);
}

AxisSettings MachineModel::axisSettings(int axis) const {
    if (axis < 0 || axis >= kAxisCount) return AxisSettings{};
    return settings_[axis];
}

void MachineModel::forceAlarm(TimePoint now) {
    advance(now);
    enterAlarm(kAlarmExternal);
}

void MachineModel::setDoorOpen(bool open, TimePoint now) {
    advance(now);
    doorOpen_ = open;
    // Closing the door changes nothing by itself: the machine waits for a resume.
    if (!open) return;
    switch (state_) {
        case MachineState::Idle:
        case MachineState::Run:
        case MachineState::Jog:
        case MachineState::Hold:
            state_ = MachineState::Door;  // motion stays planned, frozen where it is
            break;
        case MachineState::Home:
            enterAlarm(kAlarmDoorDuringHoming);
            break;
        default:
            break;
    }
}

void MachineModel::softReset() {
    const bool interrupted = !motions_.empty() || state_ == MachineState::Home;
    motions_.clear();
    relativeMode_ = false;
    motionMode_ = 0;
    programFeed_ = 0.0;
    // Stopping a moving machine abruptly loses its position: that is an alarm.
    if (interrupted) {
        enterAlarm(kAlarmResetWhileMoving);
    } else if (state_ != MachineState::Alarm) {
        state_ = restingState();
    }
}

void MachineModel::resume() {
    const bool resumable =
        state_ == MachineState::Hold || (state_ == MachineState::Door && !doorOpen_);
    // A held jog has ended for good: there is nothing to resume.
    if (!resumable || (state_ == MachineState::Hold && jogInFront())) return;
    if (motions_.empty()) {
        state_ = MachineState::Idle;
    } else {
        state_ = motions_.front().jog ? MachineState::Jog : MachineState::Run;
    }
}

void MachineModel::cancelJog() {
    // In Idle, or during program motion, the cancel does nothing at all.
    if (jogInFront()) endJogUnderWay();
}

void MachineModel::endJogUnderWay() {
    if (motions_.front().decel) {
        motions_.resize(1);  // already slowing down: only what queued behind goes
    } else {
        decelerateJog();
    }
}

void MachineModel::feedHold() {
    if (!moving()) return;
    if (motions_.empty()) {
        state_ = restingState();  // the motion ended this very moment: nothing to hold
        return;
    }
    if (holdIgnoredWhileJogging_ && state_ == MachineState::Jog) return;
    // A hold ends a jog: it slows down to a stop, then the machine is Idle and a resume
    // finds nothing to resume. Program motion is only held.
    if (jogInFront()) {
        endJogUnderWay();
        if (motions_.empty()) {
            state_ = MachineState::Idle;  // too slow to take any time to stop
            return;
        }
    }
    state_ = MachineState::Hold;
}

void MachineModel::decelerateJog() {
    const Motion jog = motions_.front();
    motions_.clear();
    double length = 0.0;
    int axis = 0;
    for (int i = 0; i < kAxisCount; ++i) {
        const double d = std::fabs(jog.target[i] - position_[i]);
        length += d * d;
        if (d > std::fabs(jog.target[axis] - position_[axis])) axis = i;
    }
    length = std::sqrt(length);
    // From v to a stop at the axis's acceleration a: v / a seconds over v^2 / 2a, which is
    // the time and distance of half the speed held constant.
    const double speed = jog.feed / 60.0;
    const double acceleration = std::fmax(settings_[axis].accelerationMmPerSec2, 1.0);
    const double stopping = std::fmin(speed * speed / (2.0 * acceleration), length);
    if (stopping <= 0.0 || length <= 0.0) {
        if (state_ == MachineState::Jog) state_ = MachineState::Idle;
        return;
    }
    Motion decel{position_, jog.feed / 2.0, true, true};
    for (int i = 0; i < kAxisCount; ++i) {
        decel.target[i] += (jog.target[i] - position_[i]) * stopping / length;
    }
    motions_.push_back(decel);
}

std::optional<MachineModel::TimePoint> MachineModel::decelerationEnd() const {
    if (!decelerating()) return std::nullopt;
    const Motion& decel = motions_.front();
    const double seconds = distanceBetween(position_, decel.target) / (decel.feed / 60.0);
    return lastAdvance_ +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool MachineModel::lateInDeceleration(TimePoint now) const {
    if (const auto end = decelerationEnd()) return *end - now <= kLateCancelBeforeEnd;
    return motions_.empty() && lastDecelerationEnd_ &&
           now - *lastDecelerationEnd_ <= kLateCancelAfterEnd;
}

void MachineModel::enterAlarm(int alarmCode) {
    motions_.clear();
    state_ = MachineState::Alarm;
    if (alarmCode != 0) unsolicited_.push_back("ALARM:" + std::to_string(alarmCode));
}

void MachineModel::finishHoming() {
    if (homingWillFail_) {
        enterAlarm(kAlarmHomingFailed);
        return;
    }
    for (int i = 0; i < kAxisCount; ++i) {
        if (homingAxis_ == -1 || homingAxis_ == i) position_[i] = settings_[i].homingMposMm;
    }
    if (quietHoming_) {
        unsolicited_.push_back(formatStatusReport(stateField(), position_, 0.0, limitPins_));
    }
    state_ = restingState();
}

bool MachineModel::withinSoftLimits(const std::array<double, kAxisCount>& from,
                                    const std::array<double, kAxisCount>& target) const {
    for (int i = 0; i < kAxisCount; ++i) {
        const AxisSettings& s = settings_[i];
        if (!s.softLimits || target[i] == from[i]) continue;
        const double end = s.homingMposMm + s.maxTravelMm;
        const double low = std::fmin(s.homingMposMm, end);
        const double high = std::fmax(s.homingMposMm, end);
        if (target[i] < low || target[i] > high) return false;
    }
    return true;
}

std::string MachineModel::stateField() const {
    if (state_ == MachineState::Hold) return "Hold:0";
    if (state_ == MachineState::Door) return doorOpen_ ? "Door:1" : "Door:0";
    return stateWord(state_);
}

MachineState MachineModel::restingState() const {
    return doorOpen_ ? MachineState::Door : MachineState::Idle;
}

}  // namespace korvane::sim
