// sim: the simulated controller in the foreground, for trying the tool or a host application
// without hardware.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "commands.h"
#include "exit_codes.h"
#include "simulator.h"
#include "stop_signals.h"

namespace korvane::tool {

namespace {

// A stable name for the simulator's pty, removed again when the simulator ends. An existing
// symlink is replaced (a previous run may have been killed); any other file is left alone.
class PortLink {
  public:
    PortLink() = default;
    ~PortLink() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    PortLink(const PortLink&) = delete;
    PortLink& operator=(const PortLink&) = delete;

    bool create(const std::string& path, const std::string& target, std::string* error) {
        if (symlink(target.c_str(), path.c_str()) != 0) {
            int failure = errno;
            struct stat info {};
            if (failure == EEXIST && lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
                failure = unlink(path.c_str()) == 0 && symlink(target.c_str(), path.c_str()) == 0
                              ? 0
                              : errno;
            }
            if (failure != 0) {
                *error = "cannot create the link " + path + ": " + std::strerror(failure);
                return false;
            }
        }
        path_ = path;
        return true;
    }

  private:
    std::string path_;
};

}  // namespace

int runSim(const Invocation& call) {
    OptionReader read(call.args);
    sim::SimOptions options;
    if (const auto uuid = call.args.value("--uuid")) options.uuid = *uuid;
    options.homingDurationMs = read.integer("--homing-ms", options.homingDurationMs, 0, 600000);
    options.homingFails = call.args.has("--homing-fails");
    options.replyLatencyMs = read.integer("--latency-ms", 0, 0, 60000);
    options.outputBytesPerSecond =
        read.integer("--byte-rate", 0, 0, std::numeric_limits<int>::max());
    if (call.args.has("--verbose")) options.verboseLog = call.console.errorStream();
    const auto linkPath = call.args.value("--link");
    if (linkPath && linkPath->empty()) return call.usageError("empty value for --link");
    if (read.failed()) return call.usageError(read.error());

    // Blocked before the serving thread starts, so that the thread inherits the mask and the
    // signal waits for us instead of killing the process with the link still in place.
    StopSignals stop;
    sim::Simulator simulator(options);
    if (!simulator.start()) {
        call.console.error("cannot start the simulator: " + simulator.error());
        return kExitCallFailed;
    }
    PortLink link;
    if (linkPath) {
        std::string error;
        if (!link.create(*linkPath, simulator.devicePath(), &error)) {
            call.console.error(error);
            return kExitCallFailed;
        }
    }
    // The first line is the port, flushed at once: scripts read it to know where to connect.
    call.console.line(simulator.devicePath());
    call.console.flush();
    stop.wait(-1);
    simulator.stop();
    return kExitOk;
}

}  // namespace korvane::tool
