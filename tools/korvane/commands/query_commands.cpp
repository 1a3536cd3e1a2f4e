// status, position, uuid and monitor: the read-only subcommands.
#include "frame/api_names.h"
#include "frame/commands.h"
#include "frame/connection.h"
#include "frame/exit_codes.h"
#include "frame/port_options.h"
#include "frame/status_reading.h"
#include "frame/text_format.h"
#include "platform/stop_signals.h"

namespace korvane::tool {

int runStatus(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    if (read.failed()) return call.usageError(read.error());
    Connection connection(call.console);
    if (const int exit = connection.open(options.port, options.baud)) return exit;
    StatusReading reading;
    const char* failedCall = "";
    const ResultCode result = readStatus(connection.handle(), &reading, &failedCall);
    if (const int exit = connection.check(result, failedCall)) return exit;
    call.console.print(call.args.has("--json") ? statusJson(reading) + "\n" : statusBlock(reading));
    return connection.close();
}

int runPosition(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    if (read.failed()) return call.usageError(read.error());
    Connection connection(call.console);
    if (const int exit = connection.open(options.port, options.baud)) return exit;
    float positions[kAxisCount] = {};
    std::int32_t count = 0;
    const ResultCode result = Korvane_GetPosition(connection.handle(), positions, &count);
    if (const int exit = connection.check(result, "Korvane_GetPosition")) return exit;
    if (call.args.has("--json")) {
        call.console.line(positionsJson(positions, count));
    } else {
        call.console.line(positionsText(positions, count) + "  (" + std::to_string(count) +
                          " reported)");
    }
    return connection.close();
}

int runUuid(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    if (read.failed()) return call.usageError(read.error());
    Connection connection(call.console);
    if (const int exit = connection.open(options.port, options.baud)) return exit;
    char uuid[256] = {};
    const ResultCode result = Korvane_GetDeviceUUID(connection.handle(), uuid, sizeof uuid);
    if (const int exit = connection.check(result, "Korvane_GetDeviceUUID")) return exit;
    call.console.line(call.args.has("--json") ? "{\"uuid\":" + jsonString(uuid) + "}"
                                              : std::string(uuid));
    return connection.close();
}

int runMonitor(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    const int intervalMs = read.integer("--interval-ms", 250, 20, 60000);
    if (read.failed()) return call.usageError(read.error());
    // Before anything else, so that Ctrl-C during the session ends it through a disconnect.
    StopSignals stop;
    Connection connection(call.console);
    if (const int exit = connection.open(options.port, options.baud)) return exit;
    Console& console = call.console;
    // On a terminal the line is rewritten in place; into a pipe or file each refresh is a
    // line of its own, which logs and scripts can read.
    const char* const start = console.terminal() ? "\r" : "";
    const char* const end = console.terminal() ? "\x1b[K" : "\n";
    int exit = kExitOk;
    do {
        StatusReading reading;
        const char* failedCall = "";
        const ResultCode result = readStatus(connection.handle(), &reading, &failedCall);
        if (result == KORVANE_TIMEOUT) {
            // One missed report is worth showing, not worth ending the watch.
            console.print(std::string(start) +
                          "no reply: " + describeFailure(connection.handle(), result) + end);
        } else if (result != KORVANE_SUCCESS) {
            if (console.terminal()) console.print("\n");
            exit = connection.check(result, failedCall);
            break;
        } else {
            console.print(std::string(start) + statusLine(reading) + end);
        }
        console.flush();
    } while (!stop.wait(intervalMs));
    if (console.terminal()) console.print("\n");
    console.flush();
    if (exit != kExitOk) return exit;
    return connection.close();
}

}  // namespace korvane::tool
