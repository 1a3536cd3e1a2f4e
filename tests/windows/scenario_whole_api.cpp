// Every export against the simulated controller, in the order a host application uses them.
// The controller moves axes in real time, so the scenario waits for states instead of
// sleeping for fixed times.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "scenarios.h"

namespace korvane::wine {

namespace {

constexpr std::uint32_t kMoveTimeoutMs = 5000;
constexpr float kTolerance = 0.01f;

bool readPositions(Session& s, float (&positions)[6]) {
    const KorvaneApi& api = s.api();
    const DeviceHandle h = s.handle();
    std::int32_t count = 0;
    if (!KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetPosition(h, positions, &count))) return false;
    s.value("positions", "%.3f %.3f %.3f %.3f %.3f %.3f", static_cast<double>(positions[0]),
            static_cast<double>(positions[1]), static_cast<double>(positions[2]),
            static_cast<double>(positions[3]), static_cast<double>(positions[4]),
            static_cast<double>(positions[5]));
    if (count != 6) s.fail("position count %d, wanted 6", static_cast<int>(count));
    return true;
}

void expectPosition(Session& s, int axis, float wanted) {
    float positions[6] = {};
    if (!readPositions(s, positions)) return;
    if (std::fabs(positions[axis] - wanted) > kTolerance) {
        s.fail("axis %d at %.3f, wanted %.3f", axis, static_cast<double>(positions[axis]),
               static_cast<double>(wanted));
    }
}

bool expectState(Session& s, std::int32_t wanted) {
    const KorvaneApi& api = s.api();
    const DeviceHandle h = s.handle();
    std::int32_t state = KORVANE_STATE_UNKNOWN;
    if (!KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetState(h, &state))) return false;
    std::printf("    state %d\n", static_cast<int>(state));
    if (state == wanted) return true;
    s.fail("state %d, wanted %d", static_cast<int>(state), static_cast<int>(wanted));
    return false;
}

// The null handle is refused by every export that takes one, before anything else.
void checkNullHandles(Session& s) {
    const KorvaneApi& api = s.api();
    std::int32_t i = 0;
    float f[6] = {};
    std::int32_t l[4] = {};
    char text[8] = {};
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.Disconnect(nullptr));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.GetState(nullptr, &i));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.GetPosition(nullptr, f, &i));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.GetSpeed(nullptr, f));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.GetLimits(nullptr, l));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.GetDeviceUUID(nullptr, text, sizeof text));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.JogAbs(nullptr, 0, 1.0f, 100.0f));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.JogRel(nullptr, 0, 1.0f, 100.0f));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.SetPos(nullptr, 0, 1.0f));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.SetAcceleration(nullptr, 0, 1.0f));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.EnableSoftLimits(nullptr, 0, 1));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.SetSoftLimitRange(nullptr, 0, 1.0f, 0.0f));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.EmergencyStop(nullptr));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.FeedHold(nullptr));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.Resume(nullptr));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.Home(nullptr, -1));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.VelocityStart(nullptr, 0, 100.0f));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.VelocityStop(nullptr));
}

// Settings and homing: x gets a soft-limit window of [-5, 295] and its homing position.
void configureAndHome(Session& s) {
    const KorvaneApi& api = s.api();
    const DeviceHandle h = s.handle();
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.Home(h, KORVANE_AXIS_ALL));
    expectState(s, KORVANE_STATE_IDLE);
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.SetSoftLimitRange(h, 0, 300.0f, -5.0f));
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.EnableSoftLimits(h, 0, 1));
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.SetAcceleration(h, 0, 750.0f));
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.SetAcceleration(h, 0, 0.0f));
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.Home(h, 0));
    expectPosition(s, 0, -5.0f);
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.SetPos(h, 1, 5.0f));
    expectPosition(s, 1, 5.0f);
}

void jog(Session& s) {
    const KorvaneApi& api = s.api();
    const DeviceHandle h = s.handle();
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.JogAbs(h, 0, 10.0f, 600.0f));
    s.waitForState(KORVANE_STATE_IDLE, kMoveTimeoutMs);
    expectPosition(s, 0, 10.0f);
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.JogRel(h, 0, -4.0f, 1200.0f));
    s.waitForState(KORVANE_STATE_IDLE, kMoveTimeoutMs);
    expectPosition(s, 0, 6.0f);
    // A refusal names the argument and its range in the same words on every C runtime.
    if (KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.JogRel(h, 0, 1.0f, 0.5f)) &&
        std::strcmp(api.GetLastError(h),
                    "Invalid feed: 0.5 (accepted: at least 1 and below 2147483648)") != 0) {
        s.fail("unexpected message for a refused feed");
    }
    if (KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT,
                       api.JogAbs(h, 0, std::numeric_limits<float>::quiet_NaN(), 100.0f)) &&
        std::strncmp(api.GetLastError(h), "Invalid position: nan (accepted: ", 33) != 0) {
        s.fail("unexpected message for a position that is no number");
    }
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.JogAbs(h, -1, 1.0f, 100.0f));
    // Beyond the soft-limit window set above: the controller refuses, the library says so.
    if (KORVANE_EXPECT(s, KORVANE_FIRMWARE_ERROR, api.JogAbs(h, 0, 500.0f, 600.0f))) {
        const char* message = api.GetLastError(h);
        if (std::strncmp(message, "Firmware error: error:", 22) != 0) {
            s.fail("unexpected message for a refused jog");
        }
    }
}

// Feed hold ends a long jog for good, as a controller does, and resume starts nothing;
// velocity mode then takes over.
void holdResumeAndVelocity(Session& s) {
    const KorvaneApi& api = s.api();
    const DeviceHandle h = s.handle();
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.JogRel(h, 2, 50.0f, 300.0f));
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.FeedHold(h));
    s.waitForState(KORVANE_STATE_IDLE, kMoveTimeoutMs);
    float first[6] = {};
    float later[6] = {};
    readPositions(s, first);
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.Resume(h));
    Sleep(300);
    readPositions(s, later);
    if (first[2] != later[2]) s.fail("z moved after a feed hold");
    expectState(s, KORVANE_STATE_IDLE);

    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.VelocityStart(h, 1, 600.0f));
    s.pollState(500);
    KORVANE_EXPECT(s, KORVANE_VELOCITY_ACTIVE, api.Home(h, KORVANE_AXIS_ALL));
    KORVANE_EXPECT(s, KORVANE_VELOCITY_ACTIVE, api.SetPos(h, 0, 0.0f));
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.VelocityStop(h));
    s.waitForState(KORVANE_STATE_IDLE, kMoveTimeoutMs);
}

void readOnlyQueries(Session& s) {
    const KorvaneApi& api = s.api();
    const DeviceHandle h = s.handle();
    float feed = -1.0f;
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetSpeed(h, &feed))) {
        s.value("feed", "%.3f", static_cast<double>(feed));
    }
    std::int32_t limits[4] = {-1, -1, -1, -1};
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetLimits(h, limits))) {
        s.value("limits", "%d %d %d %d", static_cast<int>(limits[0]), static_cast<int>(limits[1]),
                static_cast<int>(limits[2]), static_cast<int>(limits[3]));
    }
    char uuid[64] = {};
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetDeviceUUID(h, uuid, sizeof uuid))) {
        s.value("uuid", "%s", uuid);
    }
}

// An emergency stop in velocity mode cancels the jog first and leaves the machine in Alarm,
// where motion is refused until homing clears it.
void emergencyStopAndRecover(Session& s) {
    const KorvaneApi& api = s.api();
    const DeviceHandle h = s.handle();
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.VelocityStart(h, 0, 300.0f));
    s.pollState(300);
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.EmergencyStop(h));
    expectState(s, KORVANE_STATE_ALARM);
    KORVANE_EXPECT(s, KORVANE_FIRMWARE_ERROR, api.JogRel(h, 0, 1.0f, 100.0f));
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.Home(h, KORVANE_AXIS_ALL));
    expectState(s, KORVANE_STATE_IDLE);
    expectPosition(s, 0, -5.0f);
}

}  // namespace

bool runWholeApi(Session& s) {
    const char* version = s.api().GetVersion();
    s.value("version", "%s", version != nullptr ? version : "(null)");
    if (version == nullptr || std::strcmp(version, KORVANE_VERSION_STRING) != 0)
        s.fail("wrong version");
    checkNullHandles(s);
    if (!s.connect()) return false;
    configureAndHome(s);
    jog(s);
    holdResumeAndVelocity(s);
    readOnlyQueries(s);
    emergencyStopAndRecover(s);
    s.disconnect();
    return s.passed();
}

}  // namespace korvane::wine
