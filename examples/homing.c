/*
 * homing.c - home all axes. Homing is also the way out of an alarm (after an emergency stop,
 * for example), so a machine found in Alarm is homed the same way. When the cycle fails,
 * the controller's reason is reported.
 *
 *   homing PORT        for example: homing /dev/ttyUSB0
 *
 * Exit status: 0 homed and Idle, 1 a call or the homing cycle failed, 2 usage.
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
        fprintf(stderr, "homing: the port name is too long or not valid text\n");
        return 0;
    }
    const ResultCode result = Korvane_Connect(wide, BAUD_RATE, device);
    if (result == KORVANE_PORT_OPEN_FAILED) {
        /* No handle came back: the library keeps the reason for this thread, read with a
         * null handle: "Port open failed: <port>: no such port (errno 2)" and the like. */
        fprintf(stderr, "homing: %s (result %d)\n", Korvane_GetLastError(NULL), (int)result);
    } else if (result == KORVANE_TIMEOUT) {
        fprintf(stderr, "homing: no controller answered on %s within 3 s (result %d)\n", port,
                (int)result);
    } else if (result != KORVANE_SUCCESS) {
        fprintf(stderr, "homing: Korvane_Connect failed on %s (result %d)\n", port, (int)result);
    }
    return result == KORVANE_SUCCESS;
}

/* Returns 1 when the call failed, after saying why. Results 1 and 9 leave no message:
 * what Korvane_GetLastError holds then belongs to an earlier failure. */
static int failed(DeviceHandle device, ResultCode result, const char* call) {
    if (result == KORVANE_SUCCESS) return 0;
    if (result == KORVANE_NOT_CONNECTED || result == KORVANE_INVALID_HANDLE) {
        fprintf(stderr, "homing: %s failed (result %d)\n", call, (int)result);
    } else {
        fprintf(stderr, "homing: %s failed (result %d): %s\n", call, (int)result,
                Korvane_GetLastError(device));
    }
    return 1;
}

static int home(DeviceHandle device) {
    int32_t state;
    float positions[6];
    ResultCode result;

    if (failed(device, Korvane_GetState(device, &state), "Korvane_GetState")) return 0;
    if (state == KORVANE_STATE_ALARM) {
        printf("the machine is in Alarm: homing clears it\n");
    } else {
        printf("the machine is %s\n", state_name(state));
    }

    printf("homing all axes\n");
    fflush(stdout);
    /* Returns when the cycle is over: up to 30 s. Stops and status queries from other threads
     * get through meanwhile. */
    result = Korvane_Home(device, KORVANE_AXIS_ALL);
    if (result == KORVANE_FIRMWARE_ERROR) {
        /* "Homing error: <the controller's line>" when it refused the cycle, or "Homing
         * failed: alarm state: <the ALARM line>" when the cycle ended in Alarm (a switch not
         * found); a listed number carries its meaning in brackets. */
        fprintf(stderr, "homing: the cycle did not complete (result %d): %s\n", (int)result,
                Korvane_GetLastError(device));
        return 0;
    }
    if (failed(device, result, "Korvane_Home")) return 0;

    if (failed(device, Korvane_GetState(device, &state), "Korvane_GetState")) return 0;
    if (failed(device, Korvane_GetPosition(device, positions, NULL), "Korvane_GetPosition"))
        return 0;
    printf("homed: %s, x %.3f  y %.3f  z %.3f  a %.3f  b %.3f  c %.3f\n", state_name(state),
           positions[0], positions[1], positions[2], positions[3], positions[4], positions[5]);
    if (state != KORVANE_STATE_IDLE) {
        fprintf(stderr, "homing: the machine is %s after homing, not Idle\n", state_name(state));
        return 0;
    }
    return 1;
}

int main(int argc, char** argv) {
    DeviceHandle device;
    int ok;

    if (argc != 2) {
        fprintf(stderr, "usage: homing PORT   (for example /dev/ttyUSB0)\n");
        return 2;
    }
    /* Port names may be UTF-8 paths; numbers stay in the "C" locale's format. */
    setlocale(LC_CTYPE, "");
    if (!connect_port(argv[1], &device)) return 1;
    ok = home(device);
    if (failed(device, Korvane_Disconnect(device), "Korvane_Disconnect")) ok = 0;
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
