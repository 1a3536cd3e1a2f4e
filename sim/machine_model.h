// The behaviour of the simulated machine: its state, motion, homing cycles and settings.
//
// It knows nothing of ports or threads: every operation takes the current time, so that the
// serving thread drives it with the real clock and a test can drive it with made-up times.
// Replies are returned as lines without line ends. Not thread-safe; the Simulator locks.
#pragma once

#include <array>
#include <chrono>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "command_parser.h"
#include "simulator.h"

namespace korvane::sim {

class MachineModel {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // Feed of a G0 move, units per minute.
    static constexpr double kRapidFeed = 5000.0;
    // Program moves the planner holds before it refuses more.
    static constexpr std::size_t kPlannerDepth = 32;

    MachineModel(std::string uuid, TimePoint now);

    // Moves the machine on to `now`: positions along the motion under way, the end of a
    // homing cycle. Every other operation does this first.
    void advance(TimePoint now);

    // The replies to one command line ("ok", "error:<n>", and what a query prints first).
    std::vector<std::string> executeLine(std::string_view line, TimePoint now);
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
    // Like controllers that take CR and LF as two line ends: an empty line gets an "ok".
    void setOkOnEmptyLine(bool ok) { okOnEmptyLine_ = ok; }
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

    std::vector<std::string> executeJog(const JogCommand& jog);
    std::vector<std::string> executeMove(const MoveCommand& move);
    std::vector<std::string> executeHome(const HomeCommand& home, TimePoint now);
    std::vector<std::string> executeSetting(const SettingCommand& setting);
    std::vector<std::string> executeSetPosition(const SetPositionCommand& command);

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
    bool okOnEmptyLine_ = false;
    std::size_t jogsSinceCancel_ = 0;

    std::vector<std::string> unsolicited_;
};

}  // namespace korvane::sim
