// korvane: a command-line host of the Korvane library, written on its public C API only.
#include <clocale>
#include <string>
#include <vector>

#include "frame/commands.h"
#include "frame/exit_codes.h"
#include "korvane/korvane.h"

int main(int argc, char** argv) {
    using namespace korvane::tool;
    // As a GUI host would: the library must format and parse its numbers the same way
    // whatever locale the host has chosen.
    std::setlocale(LC_ALL, "");
    Console console = Console::standard();
    const std::vector<Subcommand> commands = commandTable();

    if (argc < 2) {
        printToolUsageError(commands, console, "no command given");
        return kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        printToolHelp(commands, console);
        return kExitOk;
    }
    if (name == "--version") {
        // The version of the library actually loaded, which is what a bug report needs: a
        // Korvane.dll from another release beside korvane.exe shows here.
        console.line(std::string("korvane ") + Korvane_GetVersion());
        return kExitOk;
    }
    const Subcommand* command = nullptr;
    for (const Subcommand& candidate : commands) {
        if (candidate.name == name) command = &candidate;
    }
    if (command == nullptr) {
        printToolUsageError(commands, console, "unknown command '" + name + "'");
        return kExitUsage;
    }

    const std::vector<std::string> words(argv + 2, argv + argc);
    Arguments args;
    std::string problem;
    const Invocation call{*command, args, console, words};
    if (!command->ownParser && !parseArguments(words, command->options, &args, &problem)) {
        return call.usageError(problem);
    }
    if (args.has("--help")) {
        printCommandHelp(*command, console);
        return kExitOk;
    }
    const int exit = command->run(call);
    console.flush();
    return exit;
}
