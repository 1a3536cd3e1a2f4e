// jog, jog-to, set-pos, home, hold, resume and estop: the subcommands that move the machine
// or stop it.
#include <string>

#include "frame/api_names.h"
#include "frame/commands.h"
#include "frame/connection.h"
#include "frame/exit_codes.h"
#include "frame/port_options.h"
#include "frame/single_call.h"
#include "frame/text_format.h"
#include "platform/stop_signals.h"

namespace korvane::tool {

namespace {

constexpr int kWaitPollMs = 100;

// After a jog with --wait: polls until the machine no longer jogs (a hold keeps it waiting,
// since a resume would continue the jog), then prints where the axis ended. Ctrl-C ends the
// wait but not the jog.
int waitForJog(Connection& connection, Console& console, int axis) {
    StopSignals stop;
    std::int32_t state = KORVANE_STATE_UNKNOWN;
    for (;;) {
        const ResultCode result = Korvane_GetState(connection.handle(), &state);
        if (const int exit = connection.check(result, "Korvane_GetState")) return exit;
        if (state != KORVANE_STATE_JOG && state != KORVANE_STATE_RUN &&
            state != KORVANE_STATE_HOLD) {
            break;
        }
        if (stop.wait(kWaitPollMs)) {
            console.line("stopped waiting; the jog goes on");
            return connection.close();
        }
    }
    float positions[kAxisCount] = {};
    std::int32_t count = 0;
    const ResultCode result = Korvane_GetPosition(connection.handle(), positions, &count);
    if (const int exit = connection.check(result, "Korvane_GetPosition")) return exit;
    console.line(std::string(1, axisLetter(axis)) + " at " + fixed(positions[axis], 3) + " (" +
                 stateName(state) + ")");
    return connection.close();
}

// Connects, makes one call and reports it: the shape of the simple subcommands.

int runJogCommand(const Invocation& call, bool absolute) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    const int axis = read.axis("--axis");
    const float target = read.number(absolute ? "--position" : "--distance");
    const float feed = read.number("--feed");
    if (read.failed()) return call.usageError(read.error());
    Connection connection(call.console);
    if (const int exit = connection.open(options.port, options.baud)) return exit;
    const ResultCode result = absolute ? Korvane_JogAbs(connection.handle(), axis, target, feed)
                                       : Korvane_JogRel(connection.handle(), axis, target, feed);
    if (const int exit = connection.check(result, absolute ? "Korvane_JogAbs" : "Korvane_JogRel")) {
        return exit;
    }
    call.console.line(std::string("jog ") + axisLetter(axis) + (absolute ? " to " : " by ") +
                      fixed(target, 3) + " at F" + fixed(feed, 0) + ": accepted");
    if (call.args.has("--wait")) return waitForJog(connection, call.console, axis);
    return connection.close();
}

}  // namespace

int runJog(const Invocation& call) {
    return runJogCommand(call, false);
}

int runJogTo(const Invocation& call) {
    return runJogCommand(call, true);
}

int runSetPos(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    const int axis = read.axis("--axis");
    const float position = read.number("--position");
    if (read.failed()) return call.usageError(read.error());
    return runSingleCall(
        call, options, "Korvane_SetPos",
        [&](DeviceHandle handle) { return Korvane_SetPos(handle, axis, position); },
        std::string(1, axisLetter(axis)) + " set to " + fixed(position, 3));
}

int runHome(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    const int axis = read.axisOrAll("--axis");
    if (read.failed()) return call.usageError(read.error());
    const std::string what =
        axis == KORVANE_AXIS_ALL ? std::string("all axes") : std::string(1, axisLetter(axis));
    return runSingleCall(
        call, options, "Korvane_Home",
        [&](DeviceHandle handle) { return Korvane_Home(handle, axis); }, "homed " + what);
}

int runHold(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    if (read.failed()) return call.usageError(read.error());
    return runSingleCall(call, options, "Korvane_FeedHold", Korvane_FeedHold, "feed hold sent");
}

int runResume(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    if (read.failed()) return call.usageError(read.error());
    return runSingleCall(call, options, "Korvane_Resume", Korvane_Resume, "resume sent");
}

int runEstop(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    if (read.failed()) return call.usageError(read.error());
    return runSingleCall(call, options, "Korvane_EmergencyStop", Korvane_EmergencyStop,
                         "emergency stop done; home the machine to leave the alarm");
}

}  // namespace korvane::tool
