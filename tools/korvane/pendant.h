// The pendant's behaviour apart from the terminal: jogging from key events, the stops, and
// the status polling that both shows the machine and keeps velocity mode informed.
//
// Hold to jog: a terminal reports no key releases, only the repeats of a held key. A jog key
// starts velocity mode (or changes its axis, direction or speed); every repeat of it keeps it
// going; when no repeat came for the release time, velocity mode is stopped. Step jog: each
// press is one relative jog of the chosen step; repeats that a held key sends within the
// release time are not presses and move nothing.
//
// Velocity mode is stopped before anything else whenever the pendant cannot be sure that the
// operator still holds a key and that the controller still answers: on release, a failed
// status query or call, a machine state that ends jogging, a terminal too small to show what
// is happening, and on every way out (stopJogging() from the caller, and the destructor).
// After a feed hold, an emergency stop or a failure, jog keys do nothing until none has come
// for the release time, so that a key still held does not start the machine again.
#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

#include "korvane/korvane.h"
#include "pendant_keys.h"
#include "status_reading.h"

namespace korvane::tool {

inline constexpr int kDefaultReleaseMs = 200;
// Status queries this often (10 Hz); velocity mode follows the machine only through them.
inline constexpr int kStatusPeriodMs = 100;
inline constexpr std::array<float, 6> kPendantFeeds = {10, 50, 100, 300, 1000, 3000};
inline constexpr std::array<float, 4> kPendantSteps = {0.01f, 0.1f, 1.0f, 10.0f};

enum class JogMode { Hold, Step };

class Pendant {
  public:
    using Clock = std::chrono::steady_clock;

    Pendant(DeviceHandle handle, int releaseMs);
    ~Pendant();  // stopJogging()
    Pendant(const Pendant&) = delete;
    Pendant& operator=(const Pendant&) = delete;

    // Called before a call that holds the connection for long (homing), so that the screen
    // can say what is going on first.
    void onLongCall(std::function<void()> redraw) { redraw_ = std::move(redraw); }

    void press(const PendantKey& key, Clock::time_point now);
    // Stops a jog whose key was released, and polls the status when it is due.
    void tick(Clock::time_point now);
    // When tick() next has something to do.
    Clock::time_point nextDeadline() const;
    // Whether the terminal is large enough to show the machine; jogging is off while not.
    void setTerminalFits(bool fits);
    // Ends velocity mode (the library writes the jog cancel when it ran). False, with the
    // message shown, when the cancel could not be written.
    bool stopJogging();
    // The way out: stopJogging(), and a feed hold when a step jog may still be running, so
    // that no axis moves on once the pendant is gone. False when either failed.
    bool shutdown();
    bool quitRequested() const { return quit_; }

    // For the screen.
    const StatusReading& status() const { return status_; }
    bool statusFresh() const { return fresh_; }
    JogMode mode() const { return mode_; }
    float feed() const { return kPendantFeeds[feedIndex_]; }
    float step() const { return kPendantSteps[stepIndex_]; }
    int releaseMs() const { return releaseMs_; }
    bool jogging() const { return jogging_; }
    int jogAxis() const { return jogAxis_; }
    int jogDirection() const { return jogDirection_; }
    bool waitingForRelease() const { return waitForRelease_; }
    bool confirmingHoming() const { return confirmHoming_; }
    const std::string& message() const { return message_; }
    bool messageIsError() const { return messageIsError_; }

  private:
    void jog(const PendantKey& key, Clock::time_point now);
    void startOrChangeVelocity(int axis, int direction);
    void changeFeed(int delta);
    void home();
    void poll();
    // Why jogging is refused now, or "" when it is allowed.
    std::string jogRefusal() const;
    bool check(ResultCode result, std::string_view call);
    void say(std::string text, bool error = false);

    DeviceHandle handle_;
    const int releaseMs_;
    std::function<void()> redraw_;

    StatusReading status_;
    bool fresh_ = false;        // the last status poll succeeded
    bool lostContact_ = false;  // a status poll failed and none succeeded since
    bool fits_ = true;
    Clock::time_point nextPoll_{};

    JogMode mode_ = JogMode::Hold;
    int feedIndex_ = 3;  // F300
    int stepIndex_ = 2;  // 1.000

    bool jogging_ = false;  // velocity mode started by the pendant and not stopped
    int jogAxis_ = 0;
    int jogDirection_ = 0;
    bool stepMayRun_ = false;  // a step jog was sent and no poll since has shown the machine idle
    // The last jog key event, press or repeat.
    int lastKeyAxis_ = -1;
    int lastKeyDirection_ = 0;
    Clock::time_point lastKeyAt_{};
    bool waitForRelease_ = false;

    bool confirmHoming_ = false;
    bool quit_ = false;
    std::string message_;
    bool messageIsError_ = false;
};

}  // namespace korvane::tool
