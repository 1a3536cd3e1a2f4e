// The command line of korvane-sim.
#pragma once

#include <string>

#include "simulator.h"

namespace korvane::sim {

struct CommandLine {
    SimOptions options;  // verboseLog is left for main to set
    bool verbose = false;
    std::string linkPath;  // empty: no symlink
    bool help = false;
};

// Reads argv. False with a message in *error when an option is unknown or its value bad.
bool parseCommandLine(int argc, char** argv, CommandLine* out, std::string* error);

// The text of --help.
std::string usageText(const char* program);

}  // namespace korvane::sim
