// sim, demo and pendant on Windows: sim and demo run the simulated controller on a
// pseudo-terminal and the pendant draws with curses, neither of which Windows has. They say
// so instead of failing in some less clear way.
#include <string>

#include "frame/commands.h"
#include "frame/exit_codes.h"

namespace korvane::tool {

namespace {

int linuxOnly(const Invocation& call, const char* needs) {
    call.console.error(std::string(call.command.name) + " runs on Linux only: " + needs +
                       ". Point the other commands at a controller's COM port, or run korvane " +
                       std::string(call.command.name) + " on Linux.");
    return kExitUsage;
}

}  // namespace

std::string simOptionsHelp() {
    return "  (none on Windows)\n";
}

int runSim(const Invocation& call) {
    return linuxOnly(call, "the simulated controller needs a pseudo-terminal");
}

int runDemo(const Invocation& call) {
    return linuxOnly(call, "the simulated controller needs a pseudo-terminal");
}

int runPendant(const Invocation& call) {
    return linuxOnly(call, "the pendant draws its screen with curses");
}

}  // namespace korvane::tool
