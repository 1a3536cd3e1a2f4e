// pendant: a full-screen terminal pendant that jogs the machine from the keyboard.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/kd.h>
#endif

#include <algorithm>
#include <chrono>
#include <string>

#include "frame/api_names.h"
#include "frame/commands.h"
#include "frame/connection.h"
#include "frame/exit_codes.h"
#include "frame/port_options.h"
#include "frame/text_format.h"
#include "pendant/pendant.h"
#include "pendant/pendant_keys.h"
#include "pendant/pendant_screen.h"
#include "pendant/pendant_signals.h"

namespace korvane::tool {

namespace {

using Clock = Pendant::Clock;

// The keyboard's delay before its first repeat, when the terminal is a Linux console: the
// request reads the rate without changing it when both values are zero. A terminal emulator,
// tmux or SSH gives its program no such thing (the keyboard belongs to another machine or
// program), and neither does a console that refuses the request: 0 then.
int consoleRepeatDelayMs(int fd) {
#ifdef KDKBDREP
    kbd_repeat rate{};
    if (ioctl(fd, KDKBDREP, &rate) == 0 && rate.delay > 0) return rate.delay;
#else
    (void)fd;
#endif
    return 0;
}

// --first-repeat-ms when given; otherwise the console's delay with a margin, or the default.
int firstRepeatMs(int given) {
    if (given > 0) return given;
    const int delay = consoleRepeatDelayMs(STDIN_FILENO);
    return delay > 0 ? delay + kFirstRepeatMarginMs : kDefaultFirstRepeatMs;
}

// Runs the pendant until a way out; returns what ended it, for the line printed afterwards.
std::string runLoop(Pendant& pendant, PendantScreen& screen, PendantSignals& signals,
                    const std::string& title) {
    for (;;) {
        // Keys that arrived while a call ran are taken before the release is judged: a
        // repeat waiting in the input is a key still held.
        for (int key = screen.readKey(); key >= 0; key = screen.readKey()) {
            pendant.press(pendantKey(key), Clock::now());
            if (pendant.quitRequested()) return "quit";
        }
        pendant.setTerminalFits(screen.fits());
        pendant.tick(Clock::now());
        if (pendant.quitRequested()) return "quit";
        screen.draw(pendant, title);

        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(pendant.nextDeadline() - Clock::now());
        const int timeoutMs = static_cast<int>(std::clamp<long long>(wait.count(), 0, 1000));
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {signals.fd(), POLLIN, 0}};
        if (poll(watched, 2, timeoutMs) < 0) continue;  // EINTR

        if ((watched[1].revents & POLLIN) != 0) {
            while (const int signal = signals.take()) {
                if (signal == SIGWINCH) {
                    screen.resize();
                } else if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP ||
                           signal == SIGQUIT) {
                    return signalName(signal);
                }
                // Job-control signals are ignored: see PendantSignals.
            }
        }
        if ((watched[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return "the terminal went away";
        }
    }
}

}  // namespace

int runPendant(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    const int releaseMs = read.integer("--release-ms", kDefaultReleaseMs, 50, 2000);
    const int firstRepeatGiven = read.integer("--first-repeat-ms", 0, 50, 3000);
    if (read.failed()) return call.usageError(read.error());
    Console& console = call.console;
    if (isatty(STDIN_FILENO) != 1 || isatty(STDOUT_FILENO) != 1) {
        console.error("the pendant needs a terminal on its input and output");
        return kExitUsage;
    }

    // Before the library starts its worker thread, which inherits the mask.
    PendantSignals signals;
    if (!signals.ok()) {
        console.error("cannot watch for signals; the pendant does not start");
        return kExitCallFailed;
    }
    Connection connection(console);
    if (const int exit = connection.open(options.port, options.baud)) return exit;
    std::string reason;
    std::string lastMessage;
    bool stopped = false;
    {
        // Destroyed in reverse order, and all before the connection closes: the pendant
        // (velocity mode stopped) before the screen (terminal restored).
        PendantScreen screen;
        std::string problem;
        if (!screen.open(&problem)) {
            console.error(problem);
            return kExitUsage;
        }
        Pendant pendant(connection.handle(), releaseMs, firstRepeatMs(firstRepeatGiven));
        const std::string title = "korvane pendant  " + options.port;

        reason = runLoop(pendant, screen, signals, title);

        // The machine first, whatever ended the session; then the terminal.
        stopped = pendant.shutdown();
        lastMessage = pendant.message();
        screen.close();
    }
    console.line("pendant ended: " + reason);
    if (!stopped) console.error(lastMessage);
    StatusReading reading;
    const char* failedCall = "";
    if (readStatus(connection.handle(), &reading, &failedCall) == KORVANE_SUCCESS) {
        console.line(statusLine(reading));
    }
    console.flush();
    const int closeExit = connection.close();
    return stopped ? closeExit : kExitCallFailed;
}

}  // namespace korvane::tool
