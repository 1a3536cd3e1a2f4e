/*
 * Built by scripts/package.sh from the release zip alone: its header, and an import library
 * that the script makes from the zip's own .def with dlltool, as a user of another toolchain
 * would. It calls every export, so a .def entry whose decoration (@N on x86) does not match
 * the header's prototype fails the link, and a wrong import name fails the load under Wine.
 *
 *   package_link_check.exe
 *
 * Every call but the first two goes to a null handle, which each export refuses with
 * KORVANE_INVALID_HANDLE before it touches anything. Prints what it found; exits 0 when
 * everything answered as it should.
 */
#include <korvane/korvane.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

static void expect(const char* call, ResultCode got, ResultCode wanted) {
    if (got != wanted) {
        printf("%s returned %d, wanted %d\n", call, (int)got, (int)wanted);
        ++failures;
    }
}

int main(void) {
    DeviceHandle none = 0;
    DeviceHandle device = 0;
    float floats[6];
    int32_t ints[4];
    char text[64];

    printf("version %s\n", Korvane_GetVersion());
    if (strcmp(Korvane_GetVersion(), KORVANE_VERSION_STRING) != 0) ++failures;
    /* A port no one has: the open fails and no handle comes back. */
    expect("Korvane_Connect", Korvane_Connect(L"COM250", 115200, &device),
           KORVANE_PORT_OPEN_FAILED);
    if (device != 0) ++failures;

    expect("Korvane_Disconnect", Korvane_Disconnect(none), KORVANE_INVALID_HANDLE);
    expect("Korvane_GetState", Korvane_GetState(none, ints), KORVANE_INVALID_HANDLE);
    expect("Korvane_GetPosition", Korvane_GetPosition(none, floats, ints), KORVANE_INVALID_HANDLE);
    expect("Korvane_GetSpeed", Korvane_GetSpeed(none, floats), KORVANE_INVALID_HANDLE);
    expect("Korvane_GetLimits", Korvane_GetLimits(none, ints), KORVANE_INVALID_HANDLE);
    expect("Korvane_GetDeviceUUID", Korvane_GetDeviceUUID(none, text, sizeof text),
           KORVANE_INVALID_HANDLE);
    expect("Korvane_JogAbs", Korvane_JogAbs(none, 0, 1.0f, 100.0f), KORVANE_INVALID_HANDLE);
    expect("Korvane_JogRel", Korvane_JogRel(none, 0, 1.0f, 100.0f), KORVANE_INVALID_HANDLE);
    expect("Korvane_SetPos", Korvane_SetPos(none, 0, 1.0f), KORVANE_INVALID_HANDLE);
    expect("Korvane_SetAcceleration", Korvane_SetAcceleration(none, 0, 10.0f),
           KORVANE_INVALID_HANDLE);
    expect("Korvane_EnableSoftLimits", Korvane_EnableSoftLimits(none, 0, 1),
           KORVANE_INVALID_HANDLE);
    expect("Korvane_SetSoftLimitRange", Korvane_SetSoftLimitRange(none, 0, 100.0f, 0.0f),
           KORVANE_INVALID_HANDLE);
    expect("Korvane_EmergencyStop", Korvane_EmergencyStop(none), KORVANE_INVALID_HANDLE);
    expect("Korvane_FeedHold", Korvane_FeedHold(none), KORVANE_INVALID_HANDLE);
    expect("Korvane_Resume", Korvane_Resume(none), KORVANE_INVALID_HANDLE);
    expect("Korvane_Home", Korvane_Home(none, KORVANE_AXIS_ALL), KORVANE_INVALID_HANDLE);
    expect("Korvane_VelocityStart", Korvane_VelocityStart(none, 0, 100.0f), KORVANE_INVALID_HANDLE);
    expect("Korvane_VelocityStop", Korvane_VelocityStop(none), KORVANE_INVALID_HANDLE);
    /* Without a handle the last error is this thread's failed connect, not any later call's. */
    printf("last error %s\n", Korvane_GetLastError(none));
    if (strncmp(Korvane_GetLastError(none), "Port open failed: COM250: ", 26) != 0) ++failures;

    printf("failures %d\n", failures);
    return failures == 0 ? 0 : 1;
}
