#include "foreground.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "port_link.h"
#include "simulator.h"
#include "status_file.h"

namespace korvane::sim {

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
    // Destroyed before the simulator: the link goes before the device it points at.
    PortLink link;
    if (!commandLine.linkPath.empty() && !link.claim(commandLine.linkPath, device)) {
        std::fprintf(err, "%s: %s\n", program, link.error().c_str());
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

    link.release();
    simulator.stop();
    return 0;
}

}  // namespace korvane::sim
