// korvane-sim: a simulated controller on a pseudo-terminal, for demos and manual testing.
#include <cstdio>
#include <string>

#include "command_line.h"
#include "foreground.h"
#include "korvane_version.h"

int main(int argc, char** argv) {
    korvane::sim::CommandLine commandLine;
    std::string error;
    if (!korvane::sim::parseCommandLine(argc, argv, &commandLine, &error)) {
        std::fputs(korvane::sim::commandLineErrorLine("korvane-sim", error).c_str(), stderr);
        return 2;
    }
    if (commandLine.help) {
        std::fputs(korvane::sim::usageText(argv[0]).c_str(), stdout);
        return 0;
    }
    if (commandLine.version) {
        // The simulator does not use the library; it carries the version of the release it
        // was built for.
        std::printf("korvane-sim %s\n", KORVANE_VERSION_STRING);
        return 0;
    }
    return korvane::sim::runInForeground(commandLine, stdout, stderr, "korvane-sim");
}
