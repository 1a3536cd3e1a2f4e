#include "demo/demo_tour.h"

#include <algorithm>
#include <cmath>
#include <thread>
#include <utility>

#include "frame/api_names.h"
#include "frame/text_format.h"

namespace korvane::tool {

namespace {

constexpr int kBaud = 115200;
constexpr int kJogPollMs = 250;       // a few rows per second of motion
constexpr int kVelocityPollMs = 150;  // velocity mode only sees the state through our polls
constexpr int kMotionLimitMs = 6000;  // far beyond any move the tour makes
constexpr int kX = 0;
constexpr int kY = 1;
constexpr int kZ = 2;

void pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Positions travel as text with three decimals, so a thousandth is the finest they agree to.
bool near(double a, double b) {
    return std::fabs(a - b) <= 0.0015;
}

double seconds(std::chrono::steady_clock::duration span) {
    return std::chrono::duration<double>(span).count();
}

std::string xyz(const float* positions) {
    return positionsText(positions, 3);
}

std::string axisName(int axis) {
    return std::string(1, axisLetter(axis));
}

std::string motionLabel(const char* name, int axis, float value, float feed) {
    return std::string(name) + "(" + axisName(axis) + ", " + fixed(value, 3) + ", F" +
           fixed(feed, 0) + ")";
}

std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

}  // namespace

DemoTour::DemoTour(DemoLog& log, sim::Simulator& simulator, std::string expectedUuid)
    : log_(log), simulator_(simulator), expectedUuid_(std::move(expectedUuid)) {}

DemoTour::~DemoTour() {
    if (handle_ != nullptr) Korvane_Disconnect(handle_);
}

template <typename Call, typename Describe>
ResultCode DemoTour::step(std::string_view label, ResultCode expected, Call&& call,
                          Describe&& describe) {
    const TimedResult timed = timeCall(call);
    std::string values;
    if (timed.result == KORVANE_SUCCESS) {
        values = describe();
    } else if (timed.result != expected && handle_ != nullptr &&
               resultStoresMessage(timed.result)) {
        // An expected refusal gets a Korvane_GetLastError row of its own; a surprise shows
        // its message at once.
        values = quoted(Korvane_GetLastError(handle_));
    }
    log_.row(label, timed, expected, values);
    return timed.result;
}

template <typename Call>
ResultCode DemoTour::step(std::string_view label, ResultCode expected, Call&& call) {
    return step(label, expected, call, [] { return std::string(); });
}

std::string DemoTour::lastError() {
    const char* message = nullptr;
    const TimedResult timed = timeCall([&] {
        message = Korvane_GetLastError(handle_);
        return KORVANE_SUCCESS;
    });
    const std::string text = message != nullptr ? message : "";
    log_.textRow("Korvane_GetLastError()", timed.ms, quoted(text), !text.empty());
    return text;
}

std::int32_t DemoTour::queryState() {
    std::int32_t state = KORVANE_STATE_UNKNOWN;
    step(
        "Korvane_GetState", KORVANE_SUCCESS, [&] { return Korvane_GetState(handle_, &state); },
        [&] { return stateText(state); });
    return state;
}

DemoTour::Poll DemoTour::poll(Clock::time_point since, const Poll* previous, int rateAxis) {
    Poll now;
    std::int32_t count = 0;
    const TimedResult stateCall = timeCall([&] { return Korvane_GetState(handle_, &now.state); });
    const TimedResult positionCall =
        timeCall([&] { return Korvane_GetPosition(handle_, now.positions, &count); });
    now.at = Clock::now();
    now.ok = stateCall.result == KORVANE_SUCCESS && positionCall.result == KORVANE_SUCCESS;
    const TimedResult both{
        stateCall.result != KORVANE_SUCCESS ? stateCall.result : positionCall.result,
        stateCall.ms + positionCall.ms};
    std::string values;
    if (now.ok) {
        values = padLeft("+" + fixed(seconds(now.at - since), 2) + " s", 8) + "  " +
                 padRight(stateName(now.state), 5) + "  " + xyz(now.positions);
        if (rateAxis >= 0 && previous != nullptr && previous->ok) {
            const double span = seconds(now.at - previous->at);
            const double moved = now.positions[rateAxis] - previous->positions[rateAxis];
            if (span > 0) {
                values +=
                    "   " + axisName(rateAxis) + " " + signedFixed(moved / span * 60.0, 0) + "/min";
            }
        }
    } else if (resultStoresMessage(both.result)) {
        values = quoted(Korvane_GetLastError(handle_));
    }
    log_.row("poll: GetState, GetPosition", both, KORVANE_SUCCESS, values, 2);
    return now;
}

DemoTour::Poll DemoTour::pollUntilIdle(Clock::time_point since, int axis, float from, float to,
                                       bool* sawInBetween) {
    const float low = std::min(from, to);
    const float high = std::max(from, to);
    *sawInBetween = false;
    Poll last;
    do {
        pause(kJogPollMs);
        last = poll(since);
        const float at = last.positions[axis];
        if (last.ok && last.state == KORVANE_STATE_JOG && at > low + 0.01f && at < high - 0.01f) {
            *sawInBetween = true;
        }
    } while (last.ok && last.state != KORVANE_STATE_IDLE &&
             Clock::now() - since < std::chrono::milliseconds(kMotionLimitMs));
    return last;
}

std::pair<DemoTour::Poll, DemoTour::Poll> DemoTour::pollFor(int durationMs, int axis) {
    const auto since = Clock::now();
    Poll first;
    Poll last;
    bool any = false;
    while (Clock::now() - since < std::chrono::milliseconds(durationMs)) {
        pause(kVelocityPollMs);
        const Poll next = poll(since, any ? &last : nullptr, axis);
        if (!any) first = next;
        last = next;
        any = true;
    }
    return {first, last};
}

void DemoTour::library() {
    log_.section("Library");
    const char* version = nullptr;
    const TimedResult timed = timeCall([&] {
        version = Korvane_GetVersion();
        return KORVANE_SUCCESS;
    });
    const bool ok = version != nullptr && *version != '\0';
    log_.textRow("Korvane_GetVersion()", timed.ms, ok ? quoted(version) : "(none)", ok);
}

bool DemoTour::connect() {
    log_.section("Connection");
    const std::wstring port = simulator_.devicePathWide();
    DeviceHandle handle = nullptr;
    const ResultCode result = step(
        "Korvane_Connect(" + simulator_.devicePath() + ", " + std::to_string(kBaud) + ")",
        KORVANE_SUCCESS, [&] { return Korvane_Connect(port.c_str(), kBaud, &handle); },
        [] { return std::string("a controller answered; handle ready"); });
    if (result != KORVANE_SUCCESS) return false;
    handle_ = handle;
    return true;
}

void DemoTour::statusQueries() {
    log_.section("Status queries");
    queryState();
    float positions[kAxisCount] = {};
    std::int32_t count = 0;
    step(
        "Korvane_GetPosition", KORVANE_SUCCESS,
        [&] { return Korvane_GetPosition(handle_, positions, &count); },
        [&] { return positionsText(positions, count) + "  (" + std::to_string(count) + ")"; });
    float feed = -1.0f;
    step(
        "Korvane_GetSpeed", KORVANE_SUCCESS, [&] { return Korvane_GetSpeed(handle_, &feed); },
        [&] { return "F" + fixed(feed, 0); });
    std::int32_t limits[4] = {};
    step(
        "Korvane_GetLimits", KORVANE_SUCCESS, [&] { return Korvane_GetLimits(handle_, limits); },
        [&] {
            return "Lim " + std::to_string(limits[0]) + " " + std::to_string(limits[1]) + " " +
                   std::to_string(limits[2]) + " " + std::to_string(limits[3]);
        });
    char uuid[64] = {};
    step(
        "Korvane_GetDeviceUUID(buffer, 64)", KORVANE_SUCCESS,
        [&] { return Korvane_GetDeviceUUID(handle_, uuid, sizeof uuid); },
        [&] { return std::string(uuid); });
    log_.check("the UUID is the one the simulator was given", uuid == expectedUuid_,
               "simulator: " + expectedUuid_);
}

void DemoTour::homing(std::string_view title) {
    log_.section(title);
    step(
        "Korvane_Home(all axes)", KORVANE_SUCCESS,
        [&] { return Korvane_Home(handle_, KORVANE_AXIS_ALL); },
        [] { return std::string("the cycle showed Home, then ended"); });
    const std::int32_t state = queryState();
    log_.check("the machine is Idle after homing", state == KORVANE_STATE_IDLE,
               std::string("state ") + stateName(state));
}

void DemoTour::jogs() {
    log_.section("Jogs");
    const Poll before = poll(Clock::now());
    step(motionLabel("Korvane_JogAbs", kX, 10.0f, 600.0f), KORVANE_SUCCESS,
         [&] { return Korvane_JogAbs(handle_, kX, 10.0f, 600.0f); });
    float feed = 0.0f;
    step(
        "Korvane_GetSpeed", KORVANE_SUCCESS, [&] { return Korvane_GetSpeed(handle_, &feed); },
        [&] { return "F" + fixed(feed, 0); });
    bool between = false;
    Poll last = pollUntilIdle(Clock::now(), kX, before.positions[kX], 10.0f, &between);
    log_.check("x was caught on its way while the state was Jog", between, "");
    log_.check("x reached 10.000 and the machine is Idle",
               last.state == KORVANE_STATE_IDLE && near(last.positions[kX], 10.0),
               "x " + fixed(last.positions[kX], 3));

    const float yFrom = last.positions[kY];
    step(motionLabel("Korvane_JogRel", kY, -5.0f, 300.0f), KORVANE_SUCCESS,
         [&] { return Korvane_JogRel(handle_, kY, -5.0f, 300.0f); });
    last = pollUntilIdle(Clock::now(), kY, yFrom, yFrom - 5.0f, &between);
    log_.check("y was caught on its way while the state was Jog", between, "");
    log_.check("y moved by -5.000 and the machine is Idle",
               last.state == KORVANE_STATE_IDLE && near(last.positions[kY], yFrom - 5.0),
               "y " + fixed(last.positions[kY], 3));
}

void DemoTour::settings() {
    log_.section("Settings (axis z)");
    step("Korvane_SetPos(z, 5.000)", KORVANE_SUCCESS,
         [&] { return Korvane_SetPos(handle_, kZ, 5.0f); });
    float positions[kAxisCount] = {};
    std::int32_t count = 0;
    step(
        "Korvane_GetPosition", KORVANE_SUCCESS,
        [&] { return Korvane_GetPosition(handle_, positions, &count); },
        [&] { return xyz(positions); });
    log_.check("z now reads 5.000", near(positions[kZ], 5.0), "z " + fixed(positions[kZ], 3));
    step("Korvane_SetAcceleration(z, 250.000)", KORVANE_SUCCESS,
         [&] { return Korvane_SetAcceleration(handle_, kZ, 250.0f); });
    step("Korvane_EnableSoftLimits(z, on)", KORVANE_SUCCESS,
         [&] { return Korvane_EnableSoftLimits(handle_, kZ, 1); });
    step("Korvane_SetSoftLimitRange(z, 200.000, -50.000)", KORVANE_SUCCESS,
         [&] { return Korvane_SetSoftLimitRange(handle_, kZ, 200.0f, -50.0f); });
    const sim::AxisSettings stored = simulator_.axisSettings(kZ);
    log_.note("the simulator stored for z: acceleration " + fixed(stored.accelerationMmPerSec2, 3) +
              ", soft limits " + (stored.softLimits ? "on" : "off") + ", max travel " +
              fixed(stored.maxTravelMm, 3) + ", homing position " + fixed(stored.homingMposMm, 3));
    log_.check("the simulator holds all four settings",
               near(stored.accelerationMmPerSec2, 250.0) && stored.softLimits &&
                   near(stored.maxTravelMm, 200.0) && near(stored.homingMposMm, -50.0),
               "");
    step(motionLabel("Korvane_JogAbs", kZ, 500.0f, 600.0f), KORVANE_FIRMWARE_ERROR,
         [&] { return Korvane_JogAbs(handle_, kZ, 500.0f, 600.0f); });
    lastError();
    log_.note("z 500.000 lies outside the soft-limit range -50.000 .. 150.000");
}

void DemoTour::feedHold() {
    log_.section("Feed hold and resume");
    const auto since = Clock::now();
    const float xFrom = poll(since).positions[kX];
    // Two seconds of travel: ample time to catch it under way, even on a busy machine.
    step(motionLabel("Korvane_JogRel", kX, 10.0f, 300.0f), KORVANE_SUCCESS,
         [&] { return Korvane_JogRel(handle_, kX, 10.0f, 300.0f); });
    pause(300);
    poll(since);
    step("Korvane_FeedHold()", KORVANE_SUCCESS, [&] { return Korvane_FeedHold(handle_); });
    // A controller ends a held jog: the machine slows to a stop and is Idle, short of the
    // jog's target, and a resume finds nothing to resume.
    pause(150);
    const Poll held = poll(since);
    pause(500);
    const Poll stillHeld = poll(since);
    log_.check(
        "held: the jog ended and x stands still",
        stillHeld.state == KORVANE_STATE_IDLE && near(held.positions[kX], stillHeld.positions[kX]),
        "x " + fixed(held.positions[kX], 3) + " then " + fixed(stillHeld.positions[kX], 3));
    log_.check("x stopped short of the jog's target",
               stillHeld.positions[kX] < xFrom + 10.0f - 0.01f,
               "x " + fixed(stillHeld.positions[kX], 3));
    step("Korvane_Resume()", KORVANE_SUCCESS, [&] { return Korvane_Resume(handle_); });
    pause(300);
    const Poll resumed = poll(since);
    log_.check(
        "resumed: nothing starts again, the held jog is over",
        resumed.state == KORVANE_STATE_IDLE && near(resumed.positions[kX], stillHeld.positions[kX]),
        "x " + fixed(resumed.positions[kX], 3));
}

void DemoTour::velocityMode() {
    log_.section("Velocity mode");
    step("Korvane_VelocityStart(x, +600)", KORVANE_SUCCESS,
         [&] { return Korvane_VelocityStart(handle_, kX, 600.0f); });
    auto [first, last] = pollFor(1000, kX);
    log_.check("x moves forward", last.positions[kX] > first.positions[kX] + 1.0f,
               "x " + fixed(first.positions[kX], 3) + " to " + fixed(last.positions[kX], 3));

    step("Korvane_VelocityStart(x, +1200)  new rate", KORVANE_SUCCESS,
         [&] { return Korvane_VelocityStart(handle_, kX, 1200.0f); });
    std::tie(first, last) = pollFor(600, kX);
    float feed = 0.0f;
    step(
        "Korvane_GetSpeed", KORVANE_SUCCESS, [&] { return Korvane_GetSpeed(handle_, &feed); },
        [&] { return "F" + fixed(feed, 0); });
    log_.check("x moves forward at the new feed",
               last.positions[kX] > first.positions[kX] && near(feed, 1200.0),
               "F" + fixed(feed, 0));

    step("Korvane_VelocityStart(x, -600)  reverse", KORVANE_SUCCESS,
         [&] { return Korvane_VelocityStart(handle_, kX, -600.0f); });
    std::tie(first, last) = pollFor(600, kX);
    log_.check("x moves backward", last.positions[kX] < first.positions[kX],
               "x " + fixed(first.positions[kX], 3) + " to " + fixed(last.positions[kX], 3));

    step("Korvane_VelocityStart(y, +600)  other axis", KORVANE_SUCCESS,
         [&] { return Korvane_VelocityStart(handle_, kY, 600.0f); });
    std::tie(first, last) = pollFor(600, kY);
    log_.check(
        "y moves forward and x stands still",
        last.positions[kY] > first.positions[kY] && near(last.positions[kX], first.positions[kX]),
        "y " + fixed(first.positions[kY], 3) + " to " + fixed(last.positions[kY], 3));

    step(motionLabel("Korvane_JogRel", kX, 1.0f, 100.0f), KORVANE_VELOCITY_ACTIVE,
         [&] { return Korvane_JogRel(handle_, kX, 1.0f, 100.0f); });
    lastError();
    step("Korvane_VelocityStop()", KORVANE_SUCCESS, [&] { return Korvane_VelocityStop(handle_); });
    const auto since = Clock::now();
    pause(200);
    const Poll stopped = poll(since);
    pause(300);
    const Poll later = poll(since);
    log_.check("stopped: the machine is Idle and y stands still",
               stopped.state == KORVANE_STATE_IDLE && later.state == KORVANE_STATE_IDLE &&
                   near(stopped.positions[kY], later.positions[kY]),
               "y " + fixed(later.positions[kY], 3));
}

void DemoTour::emergencyStop() {
    log_.section("Emergency stop");
    const auto since = Clock::now();
    step(motionLabel("Korvane_JogRel", kX, 20.0f, 600.0f), KORVANE_SUCCESS,
         [&] { return Korvane_JogRel(handle_, kX, 20.0f, 600.0f); });
    pause(300);
    poll(since);
    step("Korvane_EmergencyStop()", KORVANE_SUCCESS,
         [&] { return Korvane_EmergencyStop(handle_); });
    const std::int32_t state = queryState();
    log_.check("the emergency stop left the machine in Alarm", state == KORVANE_STATE_ALARM,
               std::string("state ") + stateName(state));
    step(motionLabel("Korvane_JogRel", kX, 1.0f, 100.0f), KORVANE_FIRMWARE_ERROR,
         [&] { return Korvane_JogRel(handle_, kX, 1.0f, 100.0f); });
    lastError();

    homing("Leaving the alarm: homing again");
    float positions[kAxisCount] = {};
    std::int32_t count = 0;
    step(
        "Korvane_GetPosition", KORVANE_SUCCESS,
        [&] { return Korvane_GetPosition(handle_, positions, &count); },
        [&] { return xyz(positions); });
    log_.check("the axes sit at their homing positions, z at its new -50.000",
               near(positions[kX], 0.0) && near(positions[kY], 0.0) && near(positions[kZ], -50.0),
               xyz(positions));
}

void DemoTour::disconnect() {
    log_.section("Disconnect");
    DeviceHandle handle = handle_;
    handle_ = nullptr;
    step("Korvane_Disconnect()", KORVANE_SUCCESS, [&] { return Korvane_Disconnect(handle); });
}

void DemoTour::run() {
    library();
    if (!connect()) return;
    statusQueries();
    homing("Homing");
    jogs();
    settings();
    feedHold();
    velocityMode();
    emergencyStop();
    disconnect();
}

}  // namespace korvane::tool
