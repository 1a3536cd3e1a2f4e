// The subcommands: their options, help texts and entry points.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frame/arguments.h"
#include "frame/console.h"

namespace korvane::tool {

struct Subcommand;

struct Invocation {
    const Subcommand& command;
    const Arguments& args;
    Console& console;
    // The words after the subcommand as given, for a subcommand that reads its own options.
    std::span<const std::string> words;

    // Prints the problem and the subcommand's usage on stderr; returns kExitUsage.
    int usageError(std::string_view problem) const;
};

using CommandFunction = int (*)(const Invocation&);

struct Subcommand {
    std::string_view name;
    std::string_view synopsis;  // the options, as the usage line shows them
    std::string_view summary;   // one line for "korvane --help"
    std::string details;        // what the options mean, for "korvane <name> --help"
    std::vector<OptionInfo> options;
    CommandFunction run;
    // The subcommand reads `words` with a parser of its own (sim: the simulator's, so that it
    // takes exactly what korvane-sim takes); `options` is then empty and unused.
    bool ownParser = false;
};

// Every subcommand, in the order "korvane --help" lists them.
std::vector<Subcommand> commandTable();
// False for the commands that need what this system lacks; "korvane --help" leaves them out.
bool runsOnThisSystem(const Subcommand& command);

void printCommandHelp(const Subcommand& command, Console& console);
void printToolHelp(std::span<const Subcommand> commands, Console& console);
// The general usage on stderr, for a missing or unknown subcommand.
void printToolUsageError(std::span<const Subcommand> commands, Console& console,
                         std::string_view problem);

// Entry points, one file per group: query_commands.cpp, motion_commands.cpp,
// settings_commands.cpp, velocity_command.cpp, ports_command.cpp, pendant_command.cpp,
// sim_command.cpp, demo_command.cpp.
int runPorts(const Invocation& call);
int runStatus(const Invocation& call);
int runPosition(const Invocation& call);
int runUuid(const Invocation& call);
int runMonitor(const Invocation& call);
int runJog(const Invocation& call);
int runJogTo(const Invocation& call);
int runSetPos(const Invocation& call);
int runHome(const Invocation& call);
int runHold(const Invocation& call);
int runResume(const Invocation& call);
int runEstop(const Invocation& call);
int runAccel(const Invocation& call);
int runSoftLimits(const Invocation& call);
int runTravel(const Invocation& call);
int runVelocity(const Invocation& call);
int runPendant(const Invocation& call);
int runSim(const Invocation& call);
// What `korvane sim --help` says about its options.
std::string simOptionsHelp();
int runDemo(const Invocation& call);

}  // namespace korvane::tool
