// The behaviour of the simulated machine: its state, motion, homing cycles and settings.
//
// It knows nothing of ports or threads: every operation takes the current time, so that the
// serving thread drives it with the real clock and a test can drive it with made-up times.
// Replies are returned as lines without line ends. Not thread-safe; the Simulator locks.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_parser.h"
#include "simulator.h"

namespace korvane::sim {

// What the line "$ES" does: controllers of this family differ.
enum class EmergencyStopLine {
    Stops,          // motion ends, Alarm
    Unknown,        // not a command at all: "error:3", nothing stops
    ListsSettings,  // prints every setting, then "ok"; nothing stops
};

class MachineModel {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // What the machine prints after a soft reset (and once it has booted).
    static constexpr const char* kBanner = "Korvane sim ready";
    // A cancel this close to the end of a jog deceleration, or this soon after it, can leave
    // the machine deaf (see setDeafAfterLateCancel).
    static constexpr std::chrono::milliseconds kLateCancelBeforeEnd{100};
    static constexpr std::chrono::milliseconds kLateCancelAfterEnd{20};

    // Feed of a G0 move, units per minute.
    static constexpr double kRapidFeed = 5000.0;
    // Program moves the planner holds before it refuses more.
    static constexpr std::size_t kPlannerDepth = 32;

    MachineModel(std::string uuid, TimePoint now);

    // Moves the machine on to `now`: positions along the motion under way, the end of a
    // homing cycle. Every other operation does this first.
    void advance(TimePoint now);

    // The replies to one command line ("ok", "error:<n>", and what a query prints first). An
    // empty line is answered "ok".
    std::vector<std::string> executeLine(std::string_view line, TimePoint now);
    // The reply to a line longer than the machine takes, whose text was discarded.
    std::vector<std::string> rejectOverlongLine(TimePoint now);
    // The replies to one real-time byte: a status report for '?', nothing for the others
    // except the banner after a soft reset.
    std::vector<std::string> executeRealtime(unsigned char byte, TimePoint now);
    // Lines the machine printed on its own (alarm messages), oldest first; clears them.
    std::vector<std::string> takeUnsolicited();

    MachineSnapshot snapshot(TimePoint now);
    std::string statusReport(TimePoint now);
    AxisSettings axisSettings(int axis) const;

    void setHomingDuration(std::chrono::milliseconds duration) { homingDuration_ = duration; }
    void setHomingFails(bool fails) { homingFails_ = fails; }
    // Like some controllers: no answer to a status query while homing runs, one report
    // showing Home when the cycle ends (none when it fails: the "ALARM:" line says it).
    void setQuietHoming(bool quiet) { quietHoming_ = quiet; }
    void setEmergencyStopLine(EmergencyStopLine behaviour) { emergencyStopLine_ = behaviour; }
    // Like some controllers: a jog cancel in the last moments of a jog deceleration, or just
    // after it, leaves the machine Idle but reading no line until a resume.
    void setDeafAfterLateCancel(bool deaf) { deafAfterLateCancel_ = deaf; }
    // Like some controllers: a feed hold does nothing to a jog; only a jog cancel ends it.
    void setHoldIgnoredWhileJogging(bool ignored) { holdIgnoredWhileJogging_ = ignored; }
    // Like some controllers: after an error every motion line (jog or program) is answered
    // with that same error, unexecuted, until an empty line, a '$' command other than a jog
    // that succeeds, a soft reset or a jog cancel.
    void setLatchErrors(bool latch) { latchErrors_ = latch; }

    // Whether the machine, as of the last advance, reads its input: not while a jog slows
    // down to a stop after a cancel or a hold, and not while it is deaf.
    bool readsLines() const { return !deaf_ && !decelerating(); }
    // When the jog deceleration under way ends (as of the last advance); none when there is
    // none.
    std::optional<TimePoint> decelerationEnd() const;
    // When the most recent jog deceleration ended; lines held back behind it are read from
    // then on.
    std::optional<TimePoint> lastDecelerationEnd() const { return lastDecelerationEnd_; }
    // Idle, answering status queries, but reading no line until a resume.
    bool deaf() const { return deaf_; }
    // Jog lines taken since the most recent jog cancel arrived: after a host's final cancel
    // anything counted here would move the machine although the host asked it to stop.
    std::size_t jogsSinceLastCancel() const { return jogsSinceCancel_; }
    void setLimitPins(const std::array<int, 4>& pins) { limitPins_ = pins; }
    void forceAlarm(TimePoint now);
    void setDoorOpen(bool open, TimePoint now);

  private:
    struct Motion {
        std::array<double, kAxisCount> target{};
        double feed = 0.0;
        bool jog = false;
        bool decel = false;  // the slowing down that ends a cancelled or held jog
    };

    std::vector<std::string> executeCommand(std::string_view line, TimePoint now);
    std::vector<std::string> executeJog(const JogCommand& jog);
    std::vector<std::string> executeMove(const MoveCommand& move);
    std::vector<std::string> executeHome(const HomeCommand& home, TimePoint now);
    std::vector<std::string> executeSetting(const SettingCommand& setting);
    std::vector<std::string> executeSetPosition(const SetPositionCommand& command);
    std::vector<std::string> executeEmergencyStop();
    std::vector<std::string> settingsListing() const;
    // Keeps the latched error up to date with a line and its replies.
    void updateLatch(std::string_view line, const std::vector<std::string>& replies);
    bool lateInDeceleration(TimePoint now) const;

    void softReset();
    void resume();
    void cancelJog();
    void feedHold();
    // Ends the jog under way: it slows down to a stop (if it is not already doing so) and the
    // jogs queued behind it are dropped.
    void endJogUnderWay();
    // Replaces the jog under way, and every jog queued behind it, by its deceleration.
    void decelerateJog();
    void enterAlarm(int alarmCode);  // 0: no message line
    void finishHoming();
    // Every axis that a move from `from` to `target` changes stays inside its soft limits.
    bool withinSoftLimits(const std::array<double, kAxisCount>& from,
                          const std::array<double, kAxisCount>& target) const;
    std::string stateField() const;
    bool moving() const { return state_ == MachineState::Run || state_ == MachineState::Jog; }
    bool jogInFront() const { return !motions_.empty() && motions_.front().jog; }
    bool decelerating() const {
        return (state_ == MachineState::Jog || state_ == MachineState::Hold) && jogInFront() &&
               motions_.front().decel;
    }
    // The state to show once nothing holds the machine any more.
    MachineState restingState() const;

    std::string uuid_;
    TimePoint lastAdvance_;
    MachineState state_ = MachineState::Idle;
    std::array<double, kAxisCount> position_{};
    // Front: under way (or held). Jogs queue behind a jog, program moves behind program moves.
    std::deque<Motion> motions_;
    std::array<AxisSettings, kAxisCount> settings_{};
    std::array<int, 4> limitPins_{};
    bool doorOpen_ = false;

    // Modal state of program lines.
    bool relativeMode_ = false;
    int motionMode_ = 0;
    double programFeed_ = 0.0;  // 0: none given yet

    std::chrono::milliseconds homingDuration_{1500};
    bool homingFails_ = false;
    TimePoint homingEnd_;
    bool homingWillFail_ = false;
    int homingAxis_ = -1;
    bool quietHoming_ = false;
    std::size_t jogsSinceCancel_ = 0;

    EmergencyStopLine emergencyStopLine_ = EmergencyStopLine::Stops;
    bool deafAfterLateCancel_ = false;
    bool holdIgnoredWhileJogging_ = false;
    bool latchErrors_ = false;
    bool deaf_ = false;
    std::optional<TimePoint> lastDecelerationEnd_;
    std::string latchedError_;  // empty: none

    std::vector<std::string> unsolicited_;
};

}  // namespace korvane::sim
