// velocity: continuous jogging of one axis for a given time, with the position shown live.
#include <algorithm>
#include <chrono>
#include <string>

#include "frame/api_names.h"
#include "frame/commands.h"
#include "frame/connection.h"
#include "frame/exit_codes.h"
#include "frame/port_options.h"
#include "frame/text_format.h"
#include "platform/stop_signals.h"

namespace korvane::tool {

namespace {

// The tool's own limit, in the library's wording: an hour is long for an unattended jog.
constexpr rules::Rule kSeconds{"--seconds", "greater than 0 and at most 3600"};
constexpr bool acceptsSeconds(float seconds) {
    return seconds > 0.0f && seconds <= 3600.0f;
}

bool endsVelocityMode(std::int32_t state) {
    return state == KORVANE_STATE_ALARM || state == KORVANE_STATE_SLEEP ||
           state == KORVANE_STATE_DOOR;
}

}  // namespace

int runVelocity(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    const int axis = read.axis("--axis");
    const float rate = read.number("--rate", rules::kVelocity, rules::acceptsVelocity);
    const float seconds = read.number("--seconds", kSeconds, acceptsSeconds);
    const int intervalMs = read.integer("--interval-ms", 200, 20, 10000);
    if (read.failed()) return call.usageError(read.error());
    Console& console = call.console;
    // Blocked before the library starts its worker thread, which inherits the mask.
    StopSignals stop;
    Connection connection(console);
    if (const int exit = connection.open(options.port, options.baud)) return exit;
    DeviceHandle handle = connection.handle();
    if (const int exit =
            connection.check(Korvane_VelocityStart(handle, axis, rate), "Korvane_VelocityStart")) {
        return exit;
    }
    const std::string letter(1, axisLetter(axis));
    console.line("velocity " + letter + " at " + signedFixed(rate, 0) + " for " +
                 fixed(seconds, 1) + " s (Ctrl-C stops early)");

    // The worker only learns the machine state from status reports that this loop fetches,
    // so the loop is what keeps velocity mode going: it polls, never just sleeps.
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::duration<double>(seconds);
    int exit = kExitOk;
    for (;;) {
        std::int32_t state = KORVANE_STATE_UNKNOWN;
        float positions[kAxisCount] = {};
        std::int32_t count = 0;
        ResultCode result = Korvane_GetState(handle, &state);
        if ((exit = connection.check(result, "Korvane_GetState")) != kExitOk) break;
        result = Korvane_GetPosition(handle, positions, &count);
        if ((exit = connection.check(result, "Korvane_GetPosition")) != kExitOk) break;
        const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
        console.line(padLeft(fixed(elapsed, 2), 7) + " s  " + padRight(stateName(state), 6) + "  " +
                     letter + " " + fixed(positions[axis], 3));
        console.flush();
        if (endsVelocityMode(state)) {
            console.error(std::string("velocity mode ended: the machine is in ") +
                          stateName(state));
            exit = kExitCallFailed;
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        if (stop.wait(static_cast<int>(std::min<long long>(left.count(), intervalMs)))) break;
    }

    const int stopExit = connection.check(Korvane_VelocityStop(handle), "Korvane_VelocityStop");
    if (exit == kExitOk) exit = stopExit;
    float positions[kAxisCount] = {};
    std::int32_t count = 0;
    std::int32_t state = KORVANE_STATE_UNKNOWN;
    if (Korvane_GetState(handle, &state) == KORVANE_SUCCESS &&
        Korvane_GetPosition(handle, positions, &count) == KORVANE_SUCCESS) {
        console.line("stopped: " + std::string(stateName(state)) + ", " + letter + " at " +
                     fixed(positions[axis], 3));
    }
    const int closeExit = connection.close();
    return exit != kExitOk ? exit : closeExit;
}

}  // namespace korvane::tool
