#include "command_line.h"

#include <charconv>
#include <string_view>
#include <system_error>

namespace korvane::sim {

namespace {

bool parseCount(std::string_view text, int* out) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || value < 0) return false;
    *out = value;
    return true;
}

}  // namespace

bool parseCommandLine(int argc, char** argv, CommandLine* out, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool hasValue = false;
        // Both "--name value" and "--name=value".
        if (const std::size_t equals = arg.find('='); equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            hasValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= argc) {
                *error = std::string(arg) + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto takeCount = [&](int* target) -> bool {
            if (!takeValue()) return false;
            if (!parseCount(value, target)) {
                *error = std::string(arg) + ": not a whole number >= 0: " + std::string(value);
                return false;
            }
            return true;
        };

        if (arg == "--help" || arg == "-h") {
            out->help = true;
        } else if (arg == "--verbose" || arg == "-v") {
            out->verbose = true;
        } else if (arg == "--homing-fails") {
            out->options.homingFails = true;
        } else if (arg == "--quiet-homing") {
            out->options.quietHoming = true;
        } else if (arg == "--ok-empty-lines") {
            out->options.okOnEmptyLine = true;
        } else if (arg == "--parse-delay-ms") {
            if (!takeCount(&out->options.lineParseDelayMs)) return false;
        } else if (arg == "--silent") {
            out->options.silent = true;
        } else if (arg == "--uuid") {
            if (!takeValue()) return false;
            out->options.uuid = std::string(value);
        } else if (arg == "--link") {
            if (!takeValue()) return false;
            out->linkPath = std::string(value);
        } else if (arg == "--status-file") {
            if (!takeValue()) return false;
            if (value.empty()) {
                *error = "--status-file needs a path";
                return false;
            }
            out->statusFilePath = std::string(value);
        } else if (arg == "--silence-signals") {
            out->silenceSignals = true;
        } else if (arg == "--homing-ms") {
            if (!takeCount(&out->options.homingDurationMs)) return false;
        } else if (arg == "--latency-ms") {
            if (!takeCount(&out->options.replyLatencyMs)) return false;
        } else if (arg == "--byte-rate") {
            if (!takeCount(&out->options.outputBytesPerSecond)) return false;
        } else if (arg == "--baud") {
            int baud = 0;
            if (!takeCount(&baud)) return false;
            out->options.outputBytesPerSecond = baud / 10;  // 8N1: ten bits per byte
        } else if (arg == "--drop-every") {
            if (!takeCount(&out->options.dropEveryNthReply)) return false;
        } else {
            *error = "unknown option: " + std::string(argv[i]);
            return false;
        }
    }
    return true;
}

std::string usageText(const char* program) {
    return std::string("Usage: ") + program +
           " [options]\n"
           "Serves a simulated Korvane controller on a pseudo-terminal until SIGINT or SIGTERM.\n"
           "The first line printed is the device path to open as the serial port.\n"
           "\n"
           "  --link PATH         also make PATH a symlink to the device (removed on exit)\n"
           "  --uuid TEXT         device UUID to report\n"
           "  --homing-ms N       how long a homing cycle takes (default 1500)\n"
           "  --homing-fails      homing cycles end in Alarm\n"
           "  --quiet-homing      answer no status query while homing; one Home report at\n"
           "                      the end of the cycle, an ALARM: line if it fails\n"
           "  --ok-empty-lines    take CR and LF as two line ends and answer the empty line\n"
           "                      between them with an extra \"ok\"\n"
           "  --parse-delay-ms N  read each line N ms after it arrived (or after the line\n"
           "                      before it), while real-time bytes act at once (default 5)\n"
           "  --latency-ms N      every reply starts N ms after its request\n"
           "  --byte-rate N       pace output at N bytes per second (0 = unlimited)\n"
           "  --baud N            pace output like a line at N baud (8N1, N/10 bytes/s)\n"
           "  --drop-every N      leave out every Nth reply\n"
           "  --silent            read everything, answer nothing\n"
           "  --verbose, -v       log each received command to stderr\n"
           "  --status-file PATH  rewrite PATH every 20 ms with the state, the positions and\n"
           "                      counts of what was received, one \"name value\" a line\n"
           "  --silence-signals   SIGUSR1 makes the simulator go silent, SIGUSR2 makes it\n"
           "                      answer again\n"
           "  --help, -h          show this text\n";
}

}  // namespace korvane::sim
