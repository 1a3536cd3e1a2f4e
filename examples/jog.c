/*
 * jog.c - jog the x axis by +5 at feed 600, then poll until the machine is Idle again with
 * the axis where it was sent.
 *
 *   jog PORT           for example: jog /dev/ttyUSB0
 *
 * Exit status: 0 success, 1 a call failed or the jog did not end as expected, 2 usage.
 */
#define _POSIX_C_SOURCE 200809L /* clock_gettime, nanosleep */
#include <korvane/korvane.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define BAUD_RATE 115200
#define AXIS 0 /* x */
#define DISTANCE 5.0f
#define FEED 600.0f /* units per minute */
#define POLL_MS 50
#define TOLERANCE 0.001f

static const char* const state_names[] = {"Unknown", "Idle", "Run",   "Jog",  "Hold",
                                          "Alarm",   "Home", "Sleep", "Door", "Check"};

static const char* state_name(int32_t state) {
    return state >= 0 && state <= KORVANE_STATE_CHECK ? state_names[state] : "?";
}

static double now_ms(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

static void sleep_ms(long ms) {
    struct timespec pause;
    pause.tv_sec = ms / 1000;
    pause.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&pause, NULL);
}

/* Opens the port (a path, or a name under /dev/) and proves that a controller answers.
 * A failed connect hands out no handle; Korvane_GetLastError(NULL) tells why it failed. */
static int connect_port(const char* port, DeviceHandle* device) {
    wchar_t wide[512];
    const size_t length = mbstowcs(wide, port, sizeof wide / sizeof wide[0]);
    if (length == (size_t)-1 || length >= sizeof wide / sizeof wide[0]) {
        fprintf(stderr, "jog: the port name is too long or not valid text\n");
        return 0;
    }
    const ResultCode result = Korvane_Connect(wide, BAUD_RATE, device);
    if (result == KORVANE_PORT_OPEN_FAILED) {
        /* No handle came back: the library keeps the reason for this thread, read with a
         * null handle: "Port open failed: <port>: no such port (errno 2)" and the like. */
        fprintf(stderr, "jog: %s (result %d)\n", Korvane_GetLastError(NULL), (int)result);
    } else if (result == KORVANE_TIMEOUT) {
        fprintf(stderr, "jog: no controller answered on %s within 3 s (result %d)\n", port,
                (int)result);
    } else if (result != KORVANE_SUCCESS) {
        fprintf(stderr, "jog: Korvane_Connect failed on %s (result %d)\n", port, (int)result);
    }
    return result == KORVANE_SUCCESS;
}

/* Returns 1 when the call failed, after saying why. Results 1 and 9 leave no message:
 * what Korvane_GetLastError holds then belongs to an earlier failure. */
static int failed(DeviceHandle device, ResultCode result, const char* call) {
    if (result == KORVANE_SUCCESS) return 0;
    if (result == KORVANE_NOT_CONNECTED || result == KORVANE_INVALID_HANDLE) {
        fprintf(stderr, "jog: %s failed (result %d)\n", call, (int)result);
    } else {
        fprintf(stderr, "jog: %s failed (result %d): %s\n", call, (int)result,
                Korvane_GetLastError(device));
    }
    return 1;
}

/* Reads state and axis position together. */
static int read_axis(DeviceHandle device, int32_t* state, float* position) {
    float positions[6];
    if (failed(device, Korvane_GetState(device, state), "Korvane_GetState")) return 0;
    if (failed(device, Korvane_GetPosition(device, positions, NULL), "Korvane_GetPosition"))
        return 0;
    *position = positions[AXIS];
    return 1;
}

/* A jog line is queued and parsed shortly after its "ok", so a report right after the jog
 * may still show Idle: the jog is over when the machine is Idle with the axis at its
 * target. A hold keeps it waiting; an alarm or the deadline ends the wait. */
static int wait_until_arrived(DeviceHandle device, float target, double deadline_ms,
                              float* arrived) {
    int32_t state = KORVANE_STATE_UNKNOWN;
    int32_t shown = -1;
    float position = 0.0f;
    for (;;) {
        if (!read_axis(device, &state, &position)) return 0;
        if (state != shown) {
            printf("  %-5s x %.3f\n", state_name(state), position);
            shown = state;
        }
        if (state == KORVANE_STATE_IDLE && position > target - TOLERANCE &&
            position < target + TOLERANCE) {
            *arrived = position;
            return 1;
        }
        if (state == KORVANE_STATE_ALARM || state == KORVANE_STATE_SLEEP ||
            state == KORVANE_STATE_DOOR) {
            fprintf(stderr, "jog: the jog ended in %s with x at %.3f\n", state_name(state),
                    position);
            return 0;
        }
        if (now_ms() > deadline_ms) {
            fprintf(stderr, "jog: x did not reach %.3f in time: at %.3f, %s\n", target, position,
                    state_name(state));
            return 0;
        }
        sleep_ms(POLL_MS);
    }
}

static int jog(DeviceHandle device) {
    int32_t state;
    float start;
    if (!read_axis(device, &state, &start)) return 0;
    if (state != KORVANE_STATE_IDLE) {
        /* A jog sent now would queue behind the motion under way, or be refused. */
        fprintf(stderr, "jog: the machine is %s, not Idle\n", state_name(state));
        return 0;
    }
    const float target = start + DISTANCE;
    float arrived;
    printf("jog x by %.3f at F%.0f: %.3f -> %.3f\n", DISTANCE, FEED, start, target);
    if (failed(device, Korvane_JogRel(device, AXIS, DISTANCE, FEED), "Korvane_JogRel")) return 0;

    /* The travel time, and ten seconds of grace for a slow start or a short hold. */
    const double travel_ms = DISTANCE / FEED * 60000.0;
    if (!wait_until_arrived(device, target, now_ms() + travel_ms + 10000.0, &arrived)) return 0;
    printf("done: x at %.3f, Idle\n", arrived);
    return 1;
}

int main(int argc, char** argv) {
    DeviceHandle device;
    int ok;

    if (argc != 2) {
        fprintf(stderr, "usage: jog PORT   (for example /dev/ttyUSB0)\n");
        return 2;
    }
    /* Port names may be UTF-8 paths; numbers stay in the "C" locale's format. */
    setlocale(LC_CTYPE, "");
    if (!connect_port(argv[1], &device)) return 1;
    ok = jog(device);
    if (failed(device, Korvane_Disconnect(device), "Korvane_Disconnect")) ok = 0;
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
