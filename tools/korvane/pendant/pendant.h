// The pendant's behaviour apart from the terminal: jogging from key events, the stops, and
// the status polling that both shows the machine and keeps velocity mode informed.
//
// Hold to jog: a terminal reports no key releases, only the repeats of a held key. A jog key
// starts velocity mode (or changes its axis, direction or speed); every repeat of it keeps it
// going; when no repeat came in time, velocity mode is stopped. "In time" has two lengths,
// since a keyboard waits longer before its first repeat (about half a second) than between
// the repeats that follow: after a press the first-repeat time, once the key repeats the
// shorter release time, so that a held key does not stop and start once and a released one
// still stops promptly. Step jog: each press is one relative jog of the chosen step; repeats
// that a held key sends in time are not presses and move nothing.
//
// Velocity mode is stopped before anything else whenever the pendant cannot be sure that the
// operator still holds a key and that the controller still answers: on release, a failed
// status query or call, a machine state that ends jogging, a terminal too small to show what
// is happening, and on every way out (stopJogging() from the caller, and the destructor).
// After a feed hold, an emergency stop or a failure, jog keys do nothing until none has come
// for the release time, so that a key still held does not start the machine again.
//
// Homing runs on a thread of its own, since the call blocks for the whole cycle: the keys
// and the status polls go on meanwhile, so that a stop acts at once (the library writes stop
// bytes while the cycle runs). Jog keys do nothing until the cycle is over. The thread touches
// nothing of the pendant: it hands its result over through the future, taken once it ended.
#pragma once

#include <array>
#include <chrono>
#include <future>
#include <string>
#include <string_view>

#include "frame/status_reading.h"
#include "korvane/korvane.h"
#include "pendant/pendant_keys.h"

namespace korvane::tool {

inline constexpr int kDefaultReleaseMs = 200;
// How long to wait for the first repeat when the keyboard's own delay cannot be read (in a
// terminal emulator, tmux or over SSH): common delays are 250 to 500 ms.
inline constexpr int kDefaultFirstRepeatMs = 600;
// Added to a delay read from the console: repeats arrive a little late on a busy machine.
inline constexpr int kFirstRepeatMarginMs = 100;
// Status queries this often (10 Hz); velocity mode follows the machine only through them.
inline constexpr int kStatusPeriodMs = 100;
inline constexpr std::array<float, 6> kPendantFeeds = {10, 50, 100, 300, 1000, 3000};
inline constexpr std::array<float, 4> kPendantSteps = {0.01f, 0.1f, 1.0f, 10.0f};

enum class JogMode { Hold, Step };

class Pendant {
  public:
    using Clock = std::chrono::steady_clock;

    // A first-repeat time shorter than the release time is taken as the release time.
    Pendant(DeviceHandle handle, int releaseMs, int firstRepeatMs);
    ~Pendant();  // stopJogging()
    Pendant(const Pendant&) = delete;
    Pendant& operator=(const Pendant&) = delete;

    void press(const PendantKey& key, Clock::time_point now);
    // Stops a jog whose key was released, takes the result of a homing cycle that ended, and
    // polls the status when it is due.
    void tick(Clock::time_point now);
    // When tick() next has something to do.
    Clock::time_point nextDeadline() const;
    // Whether the terminal is large enough to show the machine; jogging is off while not.
    void setTerminalFits(bool fits);
    // Ends velocity mode (the library writes the jog cancel when it ran). False, with the
    // message shown, when the cancel could not be written.
    bool stopJogging();
    // The way out: stopJogging(), and a feed hold when a step jog may still be running, so
    // that no axis moves on once the pendant is gone. A homing cycle under way gets an
    // emergency stop, and the call is waited for: the connection must not close under it.
    // False when a stop failed.
    bool shutdown();
    bool quitRequested() const { return quit_; }

    // For the screen.
    const StatusReading& status() const { return status_; }
    bool statusFresh() const { return fresh_; }
    JogMode mode() const { return mode_; }
    float feed() const { return kPendantFeeds[feedIndex_]; }
    float step() const { return kPendantSteps[stepIndex_]; }
    int releaseMs() const { return releaseMs_; }
    int firstRepeatMs() const { return firstRepeatMs_; }
    bool jogging() const { return jogging_; }
    int jogAxis() const { return jogAxis_; }
    int jogDirection() const { return jogDirection_; }
    bool waitingForRelease() const { return waitForRelease_; }
    bool confirmingHoming() const { return confirmHoming_; }
    const std::string& message() const { return message_; }
    bool messageIsError() const { return messageIsError_; }

  private:
    void jog(const PendantKey& key, Clock::time_point now);
    // How long after the last jog key event the key counts as released.
    Clock::duration releaseWindow() const;
    void startOrChangeVelocity(int axis, int direction);
    void changeFeed(int delta);
    void home();
    // A homing call was started and has not returned.
    bool homingRuns() const;
    // Waits for the homing call to return and shows its result.
    void finishHoming();
    void poll();
    // Why jogging is refused now, or "" when it is allowed.
    std::string jogRefusal() const;
    bool check(ResultCode result, std::string_view call);
    void say(std::string text, bool error = false);

    DeviceHandle handle_;
    const int releaseMs_;
    const int firstRepeatMs_;

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
    bool keyRepeats_ = false;  // the last jog key has repeated since it was pressed
    bool waitForRelease_ = false;

    bool confirmHoming_ = false;
    // An emergency stop was sent during the cycle: the cycle's failure is what it did, and
    // its message stays.
    bool homingStopped_ = false;
    bool quit_ = false;
    std::string message_;
    bool messageIsError_ = false;

    struct HomingOutcome {
        ResultCode result;
        std::string failure;  // describeFailure(), read on the homing thread
    };
    // Valid while a cycle runs and until its result is taken. Last member, so destroyed
    // first: its destructor waits for the call, as the handle must outlive it.
    std::future<HomingOutcome> homing_;
};

}  // namespace korvane::tool
