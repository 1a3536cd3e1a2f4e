// The command line of the simulator: korvane-sim and `korvane sim` both read theirs here, so
// that the two take the same options.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "simulator.h"

namespace korvane::sim {

struct CommandLine {
    SimOptions options;  // verboseLog is left for the caller to set
    bool verbose = false;
    std::string linkPath;  // empty: no symlink
    // For tests that watch the machine while another program holds the port: a file
    // rewritten with the machine's state and what it received (empty: none), and SIGUSR1 /
    // SIGUSR2 to make the simulator go silent and answer again.
    std::string statusFilePath;
    bool silenceSignals = false;
    bool help = false;
    bool version = false;
};

// One option: its names, its value (none for a flag) and what it does, for the help text.
struct SimOption {
    std::string_view name;       // "--homing-ms"
    std::string_view shortName;  // "-v", or empty
    std::string_view valueName;  // "N", or empty for a flag
    std::string_view help;       // lines after the first are continuation lines
    // Stores the value (empty for a flag); false with a message in *error when it is bad.
    bool (*apply)(std::string_view value, CommandLine* out, std::string* error);
};

// Reads the words after the program name. Both "--name value" and "--name=value". False with
// a message in *error when an option is unknown or its value bad.
bool parseCommandLine(std::span<const std::string_view> words, CommandLine* out,
                      std::string* error);
bool parseCommandLine(int argc, char** argv, CommandLine* out, std::string* error);

// The line a bad command line gets on stderr, "<program>: <error>; try --help": the problem
// alone, not followed by the whole help text, in which it would scroll out of sight.
std::string commandLineErrorLine(std::string_view program, std::string_view error);

// The option lines of the help text, one "  --name VALUE  what it does" each.
std::string optionsHelpText();
// The whole text of --help.
std::string usageText(const char* program);

}  // namespace korvane::sim
