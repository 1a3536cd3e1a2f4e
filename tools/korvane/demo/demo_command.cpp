// demo: starts the simulated controller in this process and tours the whole API against it.
#include <chrono>
#include <string>

#include "demo/demo_log.h"
#include "demo/demo_tour.h"
#include "frame/commands.h"
#include "frame/exit_codes.h"
#include "simulator.h"

namespace korvane::tool {

int runDemo(const Invocation& call) {
    OptionReader read(call.args);
    // Short enough to keep the tour brisk, long enough that a homing call visibly waits.
    const int homingMs = read.integer("--homing-ms", 800, 0, 20000);
    if (read.failed()) return call.usageError(read.error());

    sim::SimOptions options;
    options.homingDurationMs = homingMs;
    if (call.args.has("--verbose")) options.verboseLog = call.console.errorStream();
    sim::Simulator simulator(options);
    if (!simulator.start()) {
        call.console.error("cannot start the simulator: " + simulator.error());
        return kExitCallFailed;
    }

    Console& console = call.console;
    console.line(console.paint("korvane demo", Colour::Bold) +
                 ": every export of the Korvane host library, against the simulated controller");
    console.line("simulator on " + simulator.devicePath() + ", homing takes " +
                 std::to_string(homingMs) + " ms");
    console.line("");
    DemoLog log(console);
    log.columns();
    const auto started = std::chrono::steady_clock::now();
    {
        DemoTour tour(log, simulator, options.uuid);
        tour.run();
    }
    log.summary(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    simulator.stop();
    return log.passed() ? kExitOk : kExitCallFailed;
}

}  // namespace korvane::tool
