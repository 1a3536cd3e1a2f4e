// sim: the simulated controller in the foreground, for trying the tool or a host application
// without hardware. It reads its options with korvane-sim's own parser and runs as korvane-sim
// does, so that the two cannot drift apart.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "foreground.h"
#include "frame/commands.h"
#include "frame/exit_codes.h"
#include "korvane/korvane.h"

namespace korvane::tool {

std::string simOptionsHelp() {
    return sim::optionsHelpText();
}

int runSim(const Invocation& call) {
    const std::vector<std::string_view> words(call.words.begin(), call.words.end());
    sim::CommandLine commandLine;
    std::string error;
    if (!sim::parseCommandLine(words, &commandLine, &error)) {
        // As korvane-sim says it: the two take the same options and refuse them alike.
        std::fputs(sim::commandLineErrorLine("korvane sim", error).c_str(),
                   call.console.errorStream());
        return kExitUsage;
    }
    if (commandLine.help) {
        printCommandHelp(call.command, call.console);
        return kExitOk;
    }
    if (commandLine.version) {
        call.console.line(std::string("korvane ") + Korvane_GetVersion());
        return kExitOk;
    }
    call.console.flush();
    const int exit = sim::runInForeground(commandLine, call.console.outputStream(),
                                          call.console.errorStream(), "korvane");
    return exit == 0 ? kExitOk : kExitCallFailed;
}

}  // namespace korvane::tool
