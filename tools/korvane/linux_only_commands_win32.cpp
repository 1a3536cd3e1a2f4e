// sim and demo on Windows: both run the simulated controller on a pseudo-terminal, which
// Windows does not have. They say so instead of failing in some less clear way.
#include <string>

#include "commands.h"
#include "exit_codes.h"

namespace korvane::tool {

namespace {

int linuxOnly(const Invocation& call) {
    call.console.error(std::string(call.command.name) +
                       " runs on Linux only: the simulated controller needs a pseudo-terminal. "
                       "Point the other commands at a controller's COM port, or run korvane " +
                       std::string(call.command.name) + " on Linux.");
    return kExitUsage;
}

}  // namespace

int runSim(const Invocation& call) {
    return linuxOnly(call);
}

int runDemo(const Invocation& call) {
    return linuxOnly(call);
}

}  // namespace korvane::tool
