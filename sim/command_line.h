// The command line of korvane-sim.
#pragma once

#include <string>

#include "simulator.h"

namespace korvane::sim {

struct CommandLine {
    SimOptions options;  // verboseLog is left for main to set
    bool verbose = false;
    std::string linkPath;  // empty: no symlink
    // For tests that watch the machine while another program holds the port: a file
    // rewritten with the machine's state and what it received (empty: none), and SIGUSR1 /
    // SIGUSR2 to make the simulator go silent and answer again.
    std::string statusFilePath;
    bool silenceSignals = false;
    bool help = false;
};

// Reads argv. False with a message in *error when an option is unknown or its value bad.
bool parseCommandLine(int argc, char** argv, CommandLine* out, std::string* error);

// The text of --help.
std::string usageText(const char* program);

}  // namespace korvane::sim
