/*
 * velocity.c - velocity mode done right: jog the x axis continuously at +600 for a second,
 * change the rate to -300 for another second, then stop.
 *
 *   velocity PORT      for example: velocity /dev/ttyUSB0
 *
 * The library's worker keeps the axis moving by re-issuing jogs, and it learns the machine
 * state only from the status reports that this program's own queries bring in: so while
 * velocity mode runs, the program polls the state about 20 times a second, from the same
 * thread that started it. Every way out after the start, a failed call, an alarm or
 * Ctrl-C included, goes through Korvane_VelocityStop.
 *
 * Exit status: 0 success, 1 a call failed or velocity mode ended early, 2 usage.
 */
#define _POSIX_C_SOURCE 200809L /* sigaction, clock_gettime, nanosleep */
#include <korvane/korvane.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define BAUD_RATE 115200
#define AXIS 0       /* x */
#define POLL_MS 50   /* 20 Hz */
#define SHOW_EVERY 5 /* print every fifth poll */
#define IDLE_WAIT_MS 5000.0

static const char* const state_names[] = {"Unknown", "Idle", "Run",   "Jog",  "Hold",
                                          "Alarm",   "Home", "Sleep", "Door", "Check"};

static volatile sig_atomic_t stop_requested = 0;

static void on_signal(int signal_number) {
    (void)signal_number;
    stop_requested = 1;
}

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
    nanosleep(&pause, NULL); /* a signal cuts it short, which is what Ctrl-C wants */
}

/* Opens the port (a path, or a name under /dev/) and proves that a controller answers.
 * A failed connect hands out no handle; Korvane_GetLastError(NULL) tells why it failed. */
static int connect_port(const char* port, DeviceHandle* device) {
    wchar_t wide[512];
    const size_t length = mbstowcs(wide, port, sizeof wide / sizeof wide[0]);
    if (length == (size_t)-1 || length >= sizeof wide / sizeof wide[0]) {
        fprintf(stderr, "velocity: the port name is too long or not valid text\n");
        return 0;
    }
    const ResultCode result = Korvane_Connect(wide, BAUD_RATE, device);
    if (result == KORVANE_PORT_OPEN_FAILED) {
        /* No handle came back: the library keeps the reason for this thread, read with a
         * null handle: "Port open failed: <port>: no such port (errno 2)" and the like. */
        fprintf(stderr, "velocity: %s (result %d)\n", Korvane_GetLastError(NULL), (int)result);
    } else if (result == KORVANE_TIMEOUT) {
        fprintf(stderr, "velocity: no controller answered on %s within 3 s (result %d)\n", port,
                (int)result);
    } else if (result != KORVANE_SUCCESS) {
        fprintf(stderr, "velocity: Korvane_Connect failed on %s (result %d)\n", port, (int)result);
    }
    return result == KORVANE_SUCCESS;
}

/* Returns 1 when the call failed, after saying why. Results 1 and 9 leave no message:
 * what Korvane_GetLastError holds then belongs to an earlier failure. */
static int failed(DeviceHandle device, ResultCode result, const char* call) {
    if (result == KORVANE_SUCCESS) return 0;
    if (result == KORVANE_NOT_CONNECTED || result == KORVANE_INVALID_HANDLE) {
        fprintf(stderr, "velocity: %s failed (result %d)\n", call, (int)result);
    } else {
        fprintf(stderr, "velocity: %s failed (result %d): %s\n", call, (int)result,
                Korvane_GetLastError(device));
    }
    return 1;
}

static int read_axis(DeviceHandle device, int32_t* state, float* position) {
    float positions[6];
    if (failed(device, Korvane_GetState(device, state), "Korvane_GetState")) return 0;
    if (failed(device, Korvane_GetPosition(device, positions, NULL), "Korvane_GetPosition"))
        return 0;
    *position = positions[AXIS];
    return 1;
}

/* Polls at POLL_MS for duration_ms; 0 when a call fails, the worker gave up (it ends by
 * itself on Alarm, Sleep or Door) or a stop was requested. */
static int keep_polling(DeviceHandle device, double duration_ms) {
    const double start = now_ms();
    double next = start;
    int polls = 0;
    while (!stop_requested) {
        int32_t state;
        float position;
        if (!read_axis(device, &state, &position)) return 0;
        if (polls++ % SHOW_EVERY == 0) {
            printf("  %5.2f s  %-5s x %8.3f\n", (now_ms() - start) / 1000.0, state_name(state),
                   position);
            fflush(stdout);
        }
        if (state == KORVANE_STATE_ALARM || state == KORVANE_STATE_SLEEP ||
            state == KORVANE_STATE_DOOR) {
            fprintf(stderr, "velocity: velocity mode ended: the machine is in %s\n",
                    state_name(state));
            return 0;
        }
        if (now_ms() - start >= duration_ms) return 1;
        next += POLL_MS;
        if (next > now_ms()) sleep_ms((long)(next - now_ms()));
    }
    fprintf(stderr, "velocity: stopped by a signal\n");
    return 0;
}

/* After the stop the jog is cancelled; the machine settles into Idle shortly after. */
static int wait_for_idle(DeviceHandle device) {
    const double deadline = now_ms() + IDLE_WAIT_MS;
    int32_t state;
    float position;
    for (;;) {
        if (!read_axis(device, &state, &position)) return 0;
        if (state == KORVANE_STATE_IDLE) {
            printf("stopped: Idle, x at %.3f\n", position);
            return 1;
        }
        if (now_ms() > deadline) {
            fprintf(stderr, "velocity: the machine is still %s after the stop\n",
                    state_name(state));
            return 0;
        }
        sleep_ms(POLL_MS);
    }
}

static int run(DeviceHandle device) {
    int ok;

    printf("velocity x at +600\n");
    ok = !failed(device, Korvane_VelocityStart(device, AXIS, 600.0f), "Korvane_VelocityStart") &&
         keep_polling(device, 1000.0);
    if (ok) {
        /* The same axis again: the rate changes without a stop in between. */
        printf("velocity x at -300\n");
        ok = !failed(device, Korvane_VelocityStart(device, AXIS, -300.0f),
                     "Korvane_VelocityStart") &&
             keep_polling(device, 1000.0);
    }

    /* The one way out once velocity mode may have started. Harmless if it never did. */
    if (failed(device, Korvane_VelocityStop(device), "Korvane_VelocityStop")) ok = 0;
    if (!wait_for_idle(device)) ok = 0;
    return ok;
}

int main(int argc, char** argv) {
    DeviceHandle device;
    struct sigaction action;
    int ok;

    if (argc != 2) {
        fprintf(stderr, "usage: velocity PORT   (for example /dev/ttyUSB0)\n");
        return 2;
    }
    /* Port names may be UTF-8 paths; numbers stay in the "C" locale's format. */
    setlocale(LC_CTYPE, "");
    /* Ctrl-C and SIGTERM end the motion through the stop below instead of leaving the axis
     * to the worker's last jog. */
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    if (!connect_port(argv[1], &device)) return 1;
    ok = run(device);
    if (failed(device, Korvane_Disconnect(device), "Korvane_Disconnect")) ok = 0;
    return ok ? EXIT_SUCCESS : EXIT_FAILURE;
}
