// A simulated Korvane controller served on a pseudo-terminal.
//
// The simulator opens a pty pair, keeps the slave side open in raw mode for its whole life
// and answers the controller's protocol on the master side from a thread of its own. A host
// (the library, the korvane tool, a test) opens devicePath() as its serial port.
//
// What it models: the machine states Idle, Run, Jog, Hold, Alarm, Home, Sleep, Door and
// Check; six axes x y z a b c whose machine positions move in real time at the commanded
// feed (units per minute, no acceleration ramps); homing cycles that take a configurable
// time; per-axis settings; the device UUID. What it answers:
//   real-time bytes (anywhere in the stream, never part of a line), acted on at once:
//     '?'  status report "<State|MPos:x,y,z,a,b,c|FS:feed,0|Lim:l0,l1,l2,l3>"
//     '!'  feed hold: program motion -> Hold, positions freeze; a jog slows down to a stop
//          (Hold), then Idle, and is over for good
//     '~'  resume (held program motion or a closed Door -> motion)
//     0x85 jog cancel: the jog under way slows down to a stop and the jogs queued behind it
//          are dropped; nothing at all in Idle or during program motion
//     0x18 soft reset
//   lines (ended by CR LF, or by a lone CR or LF; answered "ok" or "error:<n>", replies end
//   in CR LF), each read a short while (the parse delay) after its last byte arrived or after
//   the line before it was read, as a controller reads its input buffer only when it gets to
//   it: a real-time byte can overtake a line. While a jog slows down to a stop after a jog
//   cancel or a feed hold, no line is read at all: a line waits until the machine stands.
//     (empty line)                               "ok"
//     $J=G90 <axis><value> F<feed>, $J=G91 ...   absolute / relative jog of one axis; a jog
//                                                taken while another runs queues behind it
//     G0/G1/G90/G91 <axis words> [F<feed>]       program motion, shown as Run
//     $H, $H<axis>                               homing cycle (the way out of Alarm)
//     $ES                                        emergency stop: motion ends, Alarm (or, as
//                                                some controllers do, an unknown command or
//                                                a listing of the settings)
//     $X                                         clears an Alarm without homing
//     $MPos=<axis><value>                        sets a machine position
//     $axes/<axis>/acceleration_mm_per_sec2=<v>, .../soft_limits=true|false,
//     .../max_travel_mm=<v>, .../homing/mpos_mm=<v>   stored; without "=<v>" read back
//     $device_uuid                               "device_uuid=<uuid>" then "ok"
//     $SLP                                       Sleep (only a soft reset leaves it)
//     $C                                         toggles Check (motion is accepted, not run)
// The options below add the habits of particular controllers: two line ends in CR LF, a deaf
// spell after a late jog cancel, a feed hold that leaves jogs alone, latched errors, a cancel
// that empties the input buffer, a boot time.
// Error numbers: see ErrorCode below.
//
// Soft limits: when enabled on an axis, a jog or move whose target for that axis lies
// outside [homing position, homing position + max travel] (the interval between the two
// ends when max travel is negative) is refused with ErrorCode::SoftLimit.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvane::sim {

inline constexpr int kAxisCount = 6;
inline constexpr char kAxisLetters[] = "xyzabc";

enum class MachineState { Idle, Run, Jog, Hold, Alarm, Home, Sleep, Door, Check };

// The word a status report starts with: "Idle", "Run", ...
const char* stateWord(MachineState state);

// The numbers after "error:" in the simulator's replies.
enum class ErrorCode : int {
    UnknownCommand = 1,  // a line that is not a command the simulator knows
    BadNumber = 2,       // a value that is not a number
    UnknownSetting = 3,  // a '$' command or setting name it does not know
    BadValue = 4,        // a setting value out of range, or not true/false
    NotIdle = 8,         // the command needs Idle (or Jog, for a jog) and the state differs
    AlarmLock = 9,       // motion refused in Alarm; home (or $X) first
    LineTooLong = 11,    // a line longer than 255 characters
    SoftLimit = 15,      // the target lies outside the soft-limit range
    BadJog = 16,         // a jog line that is not G90/G91, one axis word and an F word
    UndefinedFeed = 22,  // G1 without any feed ever given
};

struct SimOptions {
    std::string uuid = "6f3d2a1c-5b7e-4c09-9a8d-2e41f0c7b513";
    // How long "Home" shows before the cycle ends. A host sees the cycle only through its
    // status queries, so keep it well above the time the host takes for its first one.
    int homingDurationMs = 1500;
    bool homingFails = false;    // the cycle ends in Alarm instead of Idle
    bool quietHoming = false;    // no answer to "?" while homing; one Home report at its end
    bool okOnEmptyLine = false;  // CR and LF are two line ends: "X\r\n" is X and an empty
                                 // line, each answered (by default CR LF is one line end)
    int lineParseDelayMs = 5;    // a line is read this long after it arrived (or after the
                                 // line before it was read)
    // A jog cancel in the last 100 ms of a jog deceleration, or within 20 ms after it, leaves
    // the machine Idle but reading no line (status queries are answered) until a resume '~'.
    bool deafAfterLateCancel = false;
    bool esUnknown = false;                // "$ES" is an unknown command: "error:3"
    bool esListsSettings = false;          // "$ES" lists the settings, then "ok"; stops nothing
    bool holdIgnoredWhileJogging = false;  // '!' does nothing to a jog; only 0x85 ends it
    // After an "error:<n>", every jog and program line gets the same error, unexecuted, until
    // an empty line, a successful '$' command other than a jog, 0x18 or 0x85.
    bool latchErrors = false;
    bool cancelDiscardsInput = false;  // 0x85 at rest discards every line not read yet
    int bootMs = 0;          // input is ignored this long after start(), then the banner is printed
    int replyLatencyMs = 0;  // every reply starts this long after its request arrived
    int outputBytesPerSecond = 0;  // paces output like a baud rate (0 = unlimited)
    bool silent = false;           // acts on nothing and answers nothing (lines are still recorded)
    int dropEveryNthReply = 0;     // leaves out every Nth reply (0 = none)
    std::FILE* verboseLog = nullptr;  // each received command is logged here when set
};

struct AxisSettings {
    double accelerationMmPerSec2 = 500.0;
    bool softLimits = false;
    double maxTravelMm = 1000.0;
    double homingMposMm = 0.0;
};

// One consistent view of the machine, taken at the moment of the call.
struct MachineSnapshot {
    MachineState state = MachineState::Idle;
    std::array<double, kAxisCount> positions{};
    double feed = 0.0;  // units per minute of the motion under way, 0 when none moves
};

class Simulator {
  public:
    explicit Simulator(SimOptions options = {});
    ~Simulator();  // stop()
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // start(), stop(), running() and the destructor belong to the owner's thread; everything
    // else may be called from any thread.

    // Opens the pty pair and starts serving. False with error() set when the pty cannot be
    // opened or the thread cannot start. Starting a running simulator does nothing.
    bool start();
    // Ends the serving thread (promptly) and closes both sides. Safe to call twice.
    void stop();
    bool running() const;

    const std::string& devicePath() const;  // the slave, e.g. /dev/pts/7; empty before start
    std::wstring devicePathWide() const;    // the same, for Korvane_Connect
    const std::string& error() const;       // why start() failed

    // Introspection for tests; thread-safe, current to the moment of the call.
    MachineSnapshot snapshot() const;
    MachineState state() const;
    std::array<double, kAxisCount> positions() const;
    AxisSettings axisSettings(int axis) const;            // axis 0..5; defaults for any other
    std::vector<std::string> receivedLines() const;       // command lines, without line ends
    std::size_t realtimeCount(unsigned char byte) const;  // how often '?', '!', ... came
    // Jog lines taken since the last jog cancel arrived: after a host's final cancel, what
    // is counted here moved (or will move) the machine although the host asked it to stop.
    std::size_t jogsSinceLastCancel() const;
    // Deaf after a late jog cancel: reads no line until a resume (see deafAfterLateCancel).
    bool deaf() const;
    // Lines received and not read yet (held back by the parse delay, a deceleration, ...).
    std::size_t unreadLines() const;
    void clearReceived();
    // Called for every real-time byte with the moment it was read from the pty, before the
    // machine acts on it: how long a stop took to reach the controller is measured with it.
    // It runs on the serving thread under the simulator's lock, so it must be quick and must
    // not call the simulator. An empty function removes it.
    using RealtimeObserver =
        std::function<void(unsigned char byte, std::chrono::steady_clock::time_point at)>;
    void setRealtimeObserver(RealtimeObserver observer);

    // Changes at run time, from any thread.
    void setSilent(bool silent);
    void setReplyLatencyMs(int ms);
    void setOutputBytesPerSecond(int bytesPerSecond);
    void setDropEveryNthReply(int n);
    void setHomingFails(bool fails);
    void setHomingDurationMs(int ms);
    void setOkOnEmptyLine(bool ok);
    // For lines that arrive from now on; several seconds make every reply that late.
    void setLineParseDelayMs(int ms);
    void setDeafAfterLateCancel(bool deaf);
    void setEsUnknown(bool unknown);
    void setEsListsSettings(bool lists);
    void setHoldIgnoredWhileJogging(bool ignored);
    void setLatchErrors(bool latch);
    void setCancelDiscardsInput(bool discards);
    void forceAlarm();                           // as an alarm input would: motion stops
    void setDoorOpen(bool open);                 // safety door: open stops motion (Door)
    void setLimitPins(std::array<int, 4> pins);  // the values reported after "Lim:"

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace korvane::sim
