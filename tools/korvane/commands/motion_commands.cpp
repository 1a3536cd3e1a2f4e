// jog, jog-to, set-pos, home, hold, resume and estop: the subcommands that move the machine
// or stop it.
#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <thread>

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
// How long a stopped jog may take to come to rest before the tool gives up watching: a
// deceleration from any feed the machine reaches lasts a few seconds at most.
constexpr auto kStopWatchLimit = std::chrono::seconds(30);

bool moving(std::int32_t state) {
    return state == KORVANE_STATE_JOG || state == KORVANE_STATE_RUN;
}

// Where the axis is, with the state: "x at 1.250 (Idle)".
std::string whereAxisIs(Connection& connection, int axis, std::int32_t state, int* exit) {
    float positions[kAxisCount] = {};
    std::int32_t count = 0;
    const ResultCode result = Korvane_GetPosition(connection.handle(), positions, &count);
    *exit = connection.check(result, "Korvane_GetPosition");
    if (*exit != kExitOk) return std::string();
    return std::string(1, axisLetter(axis)) + " at " + fixed(positions[axis], 3) + " (" +
           stateName(state) + ")";
}

// A stop request during the wait: the machine must not go on without anyone watching it.
// The feed hold writes the jog cancel first while a jog may run (it ends the jog and drops
// the queued ones; some controllers ignore a hold while jogging), then the hold; then the
// machine is watched until it stands. Exits with 128 + the signal, as shells expect of a
// program stopped by one.
int stopJog(Connection& connection, Console& console, int axis, int signal) {
    const ResultCode held = Korvane_FeedHold(connection.handle());
    if (const int exit = connection.check(held, "Korvane_FeedHold")) return exit;
    // At rest: neither jogging nor running, and, in Hold (which a controller shows both while
    // it slows down and once it stands), the axis where the previous poll found it.
    std::int32_t state = KORVANE_STATE_UNKNOWN;
    float previous = 0.0f;
    bool first = true;
    const auto deadline = std::chrono::steady_clock::now() + kStopWatchLimit;
    for (;;) {
        ResultCode result = Korvane_GetState(connection.handle(), &state);
        if (const int exit = connection.check(result, "Korvane_GetState")) return exit;
        float positions[kAxisCount] = {};
        std::int32_t count = 0;
        result = Korvane_GetPosition(connection.handle(), positions, &count);
        if (const int exit = connection.check(result, "Korvane_GetPosition")) return exit;
        const bool still = !first && positions[axis] == previous;
        if (!moving(state) && (state != KORVANE_STATE_HOLD || still)) break;
        if (std::chrono::steady_clock::now() > deadline) {
            console.error("the jog was held but the machine still moves");
            connection.close();
            return kExitCallFailed;
        }
        previous = positions[axis];
        first = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
    }
    int exit = kExitOk;
    const std::string where = whereAxisIs(connection, axis, state, &exit);
    if (exit != kExitOk) return exit;
    const char* what = signal == SIGTERM ? "SIGTERM" : "Ctrl-C";
    console.line(std::string("jog stopped by ") + what + ": held and cancelled; " + where);
    connection.close();
    return signal > 0 ? kExitSignalBase + signal : kExitInterrupted;
}

// After a jog with --wait: polls until the machine no longer jogs (a hold keeps it waiting,
// since a resume would continue the jog), then prints where the axis ended. Ctrl-C or
// SIGTERM meanwhile stops the jog (stopJog).
int waitForJog(Connection& connection, Console& console, int axis, StopSignals& stop) {
    std::int32_t state = KORVANE_STATE_UNKNOWN;
    for (;;) {
        if (stop.requested()) return stopJog(connection, console, axis, stop.signalNumber());
        const ResultCode result = Korvane_GetState(connection.handle(), &state);
        if (const int exit = connection.check(result, "Korvane_GetState")) return exit;
        if (!moving(state) && state != KORVANE_STATE_HOLD) break;
        stop.wait(kWaitPollMs);
    }
    int exit = kExitOk;
    const std::string where = whereAxisIs(connection, axis, state, &exit);
    if (exit != kExitOk) return exit;
    console.line(where);
    return connection.close();
}

// Connects, makes one call and reports it: the shape of the simple subcommands.

int runJogCommand(const Invocation& call, bool absolute) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    const int axis = read.axis("--axis");
    const float target = absolute
                             ? read.number("--position", rules::kPosition, rules::acceptsFinite)
                             : read.number("--distance", rules::kDistance, rules::acceptsFinite);
    const float feed = read.number("--feed", rules::kFeed, rules::acceptsFeed);
    if (read.failed()) return call.usageError(read.error());
    // With --wait, a stop request from the jog's start on is taken by the wait, which stops
    // the machine; without it the tool ends as soon as the jog was taken.
    std::optional<StopSignals> stop;
    if (call.args.has("--wait")) stop.emplace();
    Connection connection(call.console);
    if (const int exit = connection.open(options.port, options.baud)) return exit;
    const ResultCode result = absolute ? Korvane_JogAbs(connection.handle(), axis, target, feed)
                                       : Korvane_JogRel(connection.handle(), axis, target, feed);
    if (const int exit = connection.check(result, absolute ? "Korvane_JogAbs" : "Korvane_JogRel")) {
        return exit;
    }
    call.console.line(std::string("jog ") + axisLetter(axis) + (absolute ? " to " : " by ") +
                      fixed(target, 3) + " at F" + fixed(feed, 0) + ": accepted");
    // Shown before the wait, also into a pipe: whoever watches knows the jog runs.
    call.console.flush();
    if (stop) return waitForJog(connection, call.console, axis, *stop);
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
    const float position = read.number("--position", rules::kPosition, rules::acceptsFinite);
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
