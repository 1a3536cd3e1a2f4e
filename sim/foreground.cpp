#include "foreground.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "simulator.h"
#include "status_file.h"

namespace korvane::sim {

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

int runInForeground(const CommandLine& commandLine, std::FILE* out, std::FILE* err,
                    const char* program) {
    SimOptions options = commandLine.options;
    if (commandLine.verbose) options.verboseLog = err;

    // Blocked before the serving thread exists, so that it inherits the mask and the signals
    // reach sigtimedwait below instead of killing the process with the symlink left behind.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    if (commandLine.silenceSignals) {
        sigaddset(&signals, SIGUSR1);
        sigaddset(&signals, SIGUSR2);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Simulator simulator(options);
    if (!simulator.start()) {
        std::fprintf(err, "%s: cannot start the simulator: %s\n", program,
                     simulator.error().c_str());
        return 1;
    }
    const std::string device = simulator.devicePath();
    const std::string& linkPath = commandLine.linkPath;
    if (!linkPath.empty() && !makeLink(linkPath, device)) {
        std::fprintf(err, "%s: cannot link %s: %s\n", program, linkPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // The first line is the port, flushed at once: scripts read it to know where to connect.
    std::fprintf(out, "%s\n", device.c_str());
    std::fflush(out);

    const std::string& statusFile = commandLine.statusFilePath;
    bool statusFileFailed = false;
    for (;;) {
        if (!statusFile.empty() && !writeStatusFile(simulator, statusFile) && !statusFileFailed) {
            std::fprintf(err, "%s: cannot write %s: %s\n", program, statusFile.c_str(),
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
    if (!linkPath.empty()) removeLink(linkPath, device);
    return 0;
}

}  // namespace korvane::sim
