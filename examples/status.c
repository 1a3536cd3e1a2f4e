/*
 * status.c - connect to a controller and print what it reports: machine state, axis
 * positions, feed, limit values and the device UUID.
 *
 *   status PORT        for example: status /dev/ttyUSB0
 *
 * Exit status: 0 success, 1 a call failed (the message says which and why), 2 usage.
 */
#include <korvane/korvane.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>

#define BAUD_RATE 115200

static const char* const state_names[] = {"Unknown", "Idle", "Run",   "Jog",  "Hold",
                                          "Alarm",   "Home", "Sleep", "Door", "Check"};

static const char* state_name(int32_t state) {
    return state >= 0 && state <= KORVANE_STATE_CHECK ? state_names[state] : "?";
}

/* Opens the port (a path, or a name under /dev/) and proves that a controller answers.
 * A failed connect hands out no handle; Korvane_GetLastError(NULL) tells why it failed. */
static int connect_port(const char* port, DeviceHandle* device) {
    wchar_t wide[512];
    const size_t length = mbstowcs(wide, port, sizeof wide / sizeof wide[0]);
    if (length == (size_t)-1 || length >= sizeof wide / sizeof wide[0]) {
        fprintf(stderr, "status: the port name is too long or not valid text\n");
        return 0;
    }
    const ResultCode result = Korvane_Connect(wide, BAUD_RATE, device);
    if (result == KORVANE_PORT_OPEN_FAILED) {
        /* No handle came back: the library keeps the reason for this thread, read with a
         * null handle: "Port open failed: <port>: no such port (errno 2)" and the like. */
        fprintf(stderr, "status: %s (result %d)\n", Korvane_GetLastError(NULL), (int)result);
    } else if (result == KORVANE_TIMEOUT) {
        fprintf(stderr, "status: no controller answered on %s within 3 s (result %d)\n", port,
                (int)result);
    } else if (result != KORVANE_SUCCESS) {
        fprintf(stderr, "status: Korvane_Connect failed on %s (result %d)\n", port, (int)result);
    }
    return result == KORVANE_SUCCESS;
}

/* Returns 1 when the call failed, after saying why. Results 1 and 9 leave no message:
 * what Korvane_GetLastError holds then belongs to an earlier failure. */
static int failed(DeviceHandle device, ResultCode result, const char* call) {
    if (result == KORVANE_SUCCESS) return 0;
    if (result == KORVANE_NOT_CONNECTED || result == KORVANE_INVALID_HANDLE) {
        fprintf(stderr, "status: %s failed (result %d)\n", call, (int)result);
    } else {
        fprintf(stderr, "status: %s failed (result %d): %s\n", call, (int)result,
                Korvane_GetLastError(device));
    }
    return 1;
}

static int report(DeviceHandle device) {
    int32_t state;
    float positions[6];
    int32_t count;
    float feed;
    int32_t limits[4];
    char uuid[128];

    if (failed(device, Korvane_GetState(device, &state), "Korvane_GetState")) return 0;
    if (failed(device, Korvane_GetPosition(device, positions, &count), "Korvane_GetPosition"))
        return 0;
    if (failed(device, Korvane_GetSpeed(device, &feed), "Korvane_GetSpeed")) return 0;
    if (failed(device, Korvane_GetLimits(device, limits), "Korvane_GetLimits")) return 0;
    if (failed(device, Korvane_GetDeviceUUID(device, uuid, sizeof uuid), "Korvane_GetDeviceUUID"))
        return 0;

    printf("library   %s\n", Korvane_GetVersion());
    printf("state     %s\n", state_name(state));
    printf("position  x %.3f  y %.3f  z %.3f  a %.3f  b %.3f  c %.3f  (%d reported)\n",
           positions[0], positions[1], positions[2], positions[3], positions[4], positions[5],
           (int)count);
    printf("feed      %.3f\n", feed);
    printf("limits    %d %d %d %d\n", (int)limits[0], (int)limits[1], (int)limits[2],
           (int)limits[3]);
    printf("uuid      %s\n", uuid);
    return 1;
}

int main(int argc, char** argv) {
    DeviceHandle device;
    int ok;

    if (argc != 2) {
        fprintf(stderr, "usage: status PORT   (for example /dev/ttyUSB0)\n");
        return 2;
    }
    /* Port names may be UTF-8 paths; numbers stay in the "C" locale's format. */
    setlocale(LC_CTYPE, "");
    if (!connect_port(argv[1], &device)) return 1;
    ok = report(device);
    if (failed(device, Korvane_Disconnect(device), "Korvane_Disconnect")) ok = 0;
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
