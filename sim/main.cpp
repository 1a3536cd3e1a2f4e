// korvane-sim: a simulated controller on a pseudo-terminal, for demos and manual testing.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "command_line.h"
#include "simulator.h"
#include "status_file.h"

namespace {

// Points linkPath at target, replacing an older symlink but never any other file.
bool makeLink(const std::string& linkPath, const std::string& target) {
    char existing[PATH_MAX];
    if (readlink(linkPath.c_str(), existing, sizeof existing) >= 0) {
        if (unlink(linkPath.c_str()) != 0) return false;
    }
    return symlink(target.c_str(), linkPath.c_str()) == 0;
}

// Removes linkPath only if it still points at target: another simulator may have taken it.
void removeLink(const std::string& linkPath, const std::string& target) {
    char existing[PATH_MAX];
    const ssize_t n = readlink(linkPath.c_str(), existing, sizeof existing - 1);
    if (n < 0) return;
    existing[n] = '\0';
    if (target == existing) unlink(linkPath.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    using korvane::sim::CommandLine;
    CommandLine commandLine;
    std::string error;
    if (!korvane::sim::parseCommandLine(argc, argv, &commandLine, &error)) {
        std::fprintf(stderr, "korvane-sim: %s\n%s", error.c_str(),
                     korvane::sim::usageText(argv[0]).c_str());
        return 2;
    }
    if (commandLine.help) {
        std::fputs(korvane::sim::usageText(argv[0]).c_str(), stdout);
        return 0;
    }
    if (commandLine.verbose) commandLine.options.verboseLog = stderr;

    // Blocked before the serving thread exists, so that it inherits the mask and the signals
    // reach sigwait below instead of killing the process with the symlink left behind.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (commandLine.silenceSignals) {
        sigaddset(&signals, SIGUSR1);
        sigaddset(&signals, SIGUSR2);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    korvane::sim::Simulator simulator(commandLine.options);
    if (!simulator.start()) {
        std::fprintf(stderr, "korvane-sim: %s\n", simulator.error().c_str());
        return 1;
    }
    const std::string device = simulator.devicePath();
    if (!commandLine.linkPath.empty() && !makeLink(commandLine.linkPath, device)) {
        std::fprintf(stderr, "korvane-sim: cannot link %s: %s\n", commandLine.linkPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::printf("%s\n", device.c_str());
    std::fflush(stdout);

    const std::string& statusFile = commandLine.statusFilePath;
    bool statusFileFailed = false;
    for (;;) {
        if (!statusFile.empty() && !writeStatusFile(simulator, statusFile) && !statusFileFailed) {
            std::fprintf(stderr, "korvane-sim: cannot write %s: %s\n", statusFile.c_str(),
                         std::strerror(errno));
            statusFileFailed = true;  // said once; the next rewrite may well succeed
        }
        // Without a status file there is nothing to do between signals.
        const timespec period{0, 20 * 1000 * 1000};
        const int received =
            sigtimedwait(&signals, nullptr, statusFile.empty() ? nullptr : &period);
        if (received == SIGUSR1 || received == SIGUSR2) {
            simulator.setSilent(received == SIGUSR1);
        } else if (received == SIGINT || received == SIGTERM) {
            break;
        }
    }

    simulator.stop();
    if (!commandLine.linkPath.empty()) removeLink(commandLine.linkPath, device);
    return 0;
}
