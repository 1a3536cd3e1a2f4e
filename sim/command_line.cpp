#include "command_line.h"

#include <charconv>
#include <system_error>
#include <vector>

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

// The option's name for messages is not known to the setters; parseCommandLine puts it in
// front of what they report.
bool count(std::string_view value, int* target, std::string* error) {
    if (parseCount(value, target)) return true;
    *error = "not a whole number >= 0: " + std::string(value);
    return false;
}

// Column where the descriptions start in the help text.
constexpr std::size_t kHelpColumn = 22;

constexpr SimOption kOptions[] = {
    {"--link", "", "PATH",
     "also make PATH a symlink to the device (removed on exit),\n"
     "refused while another simulator serves it",
     [](std::string_view v, CommandLine* out, std::string*) {
         out->linkPath = std::string(v);
         return true;
     }},
    {"--uuid", "", "TEXT", "device UUID to report",
     [](std::string_view v, CommandLine* out, std::string*) {
         out->options.uuid = std::string(v);
         return true;
     }},
    {"--homing-ms", "", "N", "how long a homing cycle takes (default 1500)",
     [](std::string_view v, CommandLine* out, std::string* e) {
         return count(v, &out->options.homingDurationMs, e);
     }},
    {"--homing-fails", "", "", "homing cycles end in Alarm",
     [](std::string_view, CommandLine* out, std::string*) {
         out->options.homingFails = true;
         return true;
     }},
    {"--quiet-homing", "", "",
     "answer no status query while homing; one Home report at\n"
     "the end of the cycle, an ALARM: line if it fails",
     [](std::string_view, CommandLine* out, std::string*) {
         out->options.quietHoming = true;
         return true;
     }},
    {"--ok-empty-lines", "", "",
     "take CR and LF as two line ends: \"X\\r\\n\" is the line X\n"
     "and an empty line, each answered (by default CR LF is one\n"
     "line end, and a line end alone is an empty line: \"ok\")",
     [](std::string_view, CommandLine* out, std::string*) {
         out->options.okOnEmptyLine = true;
         return true;
     }},
    {"--parse-delay-ms", "", "N",
     "read each line N ms after it arrived (or after the line\n"
     "before it), while real-time bytes act at once (default 5)",
     [](std::string_view v, CommandLine* out, std::string* e) {
         return count(v, &out->options.lineParseDelayMs, e);
     }},
    {"--latency-ms", "", "N", "every reply starts N ms after its request",
     [](std::string_view v, CommandLine* out, std::string* e) {
         return count(v, &out->options.replyLatencyMs, e);
     }},
    {"--byte-rate", "", "N", "pace output at N bytes per second (0 = unlimited)",
     [](std::string_view v, CommandLine* out, std::string* e) {
         return count(v, &out->options.outputBytesPerSecond, e);
     }},
    {"--baud", "", "N", "pace output like a line at N baud (8N1, N/10 bytes/s)",
     [](std::string_view v, CommandLine* out, std::string* e) {
         int baud = 0;
         if (!count(v, &baud, e)) return false;
         out->options.outputBytesPerSecond = baud / 10;  // 8N1: ten bits per byte
         return true;
     }},
    {"--drop-every", "", "N", "leave out every Nth reply",
     [](std::string_view v, CommandLine* out, std::string* e) {
         return count(v, &out->options.dropEveryNthReply, e);
     }},
    {"--boot-ms", "", "N",
     "ignore all input for N ms after starting, then print the\n"
     "banner, as a board that has just been powered (default 0)",
     [](std::string_view v, CommandLine* out, std::string* e) {
         return count(v, &out->options.bootMs, e);
     }},
    {"--deaf-late-cancel", "", "",
     "a jog cancel in the last 100 ms of a jog deceleration, or\n"
     "20 ms after it, leaves the machine Idle but reading no\n"
     "line until a resume (~)",
     [](std::string_view, CommandLine* out, std::string*) {
         out->options.deafAfterLateCancel = true;
         return true;
     }},
    {"--es-unknown", "", "", "$ES is an unknown command (error:3); nothing stops",
     [](std::string_view, CommandLine* out, std::string*) {
         out->options.esUnknown = true;
         return true;
     }},
    {"--es-lists-settings", "", "",
     "$ES lists the settings (170 lines, 6 kB), then ok;\n"
     "nothing stops",
     [](std::string_view, CommandLine* out, std::string*) {
         out->options.esListsSettings = true;
         return true;
     }},
    {"--hold-ignored-while-jogging", "", "",
     "a feed hold (!) does nothing to a jog; only a jog cancel\n"
     "ends it",
     [](std::string_view, CommandLine* out, std::string*) {
         out->options.holdIgnoredWhileJogging = true;
         return true;
     }},
    {"--latch-errors", "", "",
     "after an error, answer every jog and program line with\n"
     "the same error until an empty line, a $ command that\n"
     "succeeds, a soft reset or a jog cancel",
     [](std::string_view, CommandLine* out, std::string*) {
         out->options.latchErrors = true;
         return true;
     }},
    {"--cancel-discards-input", "", "",
     "a jog cancel at rest discards every line received and not\n"
     "read yet, without a reply",
     [](std::string_view, CommandLine* out, std::string*) {
         out->options.cancelDiscardsInput = true;
         return true;
     }},
    {"--silent", "", "", "read everything, answer nothing",
     [](std::string_view, CommandLine* out, std::string*) {
         out->options.silent = true;
         return true;
     }},
    {"--verbose", "-v", "", "log each received command to stderr",
     [](std::string_view, CommandLine* out, std::string*) {
         out->verbose = true;
         return true;
     }},
    {"--status-file", "", "PATH",
     "rewrite PATH every 20 ms with the state, the positions and\n"
     "counts of what was received, one \"name value\" a line",
     [](std::string_view v, CommandLine* out, std::string* e) {
         if (v.empty()) {
             *e = "needs a path";
             return false;
         }
         out->statusFilePath = std::string(v);
         return true;
     }},
    {"--silence-signals", "", "",
     "SIGUSR1 makes the simulator go silent, SIGUSR2 makes it\n"
     "answer again",
     [](std::string_view, CommandLine* out, std::string*) {
         out->silenceSignals = true;
         return true;
     }},
    {"--help", "-h", "", "show this text",
     [](std::string_view, CommandLine* out, std::string*) {
         out->help = true;
         return true;
     }},
    {"--version", "", "", "print the program name and the version, then exit",
     [](std::string_view, CommandLine* out, std::string*) {
         out->version = true;
         return true;
     }},
};

}  // namespace

bool parseCommandLine(std::span<const std::string_view> words, CommandLine* out,
                      std::string* error) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        std::string_view name = words[i];
        std::string_view value;
        bool hasValue = false;
        if (const std::size_t equals = name.find('='); equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasValue = true;
        }
        const SimOption* option = nullptr;
        for (const SimOption& candidate : kOptions) {
            if (name == candidate.name ||
                (!candidate.shortName.empty() && name == candidate.shortName)) {
                option = &candidate;
            }
        }
        if (option == nullptr) {
            *error = "unknown option: " + std::string(words[i]);
            return false;
        }
        if (option->valueName.empty()) {
            if (hasValue) {
                *error = std::string(name) + " takes no value";
                return false;
            }
        } else if (!hasValue) {
            if (i + 1 >= words.size()) {
                *error = std::string(name) + " needs a value";
                return false;
            }
            value = words[++i];
        }
        std::string problem;
        if (!option->apply(value, out, &problem)) {
            *error = std::string(name) + ": " + problem;
            return false;
        }
    }
    if (out->options.esUnknown && out->options.esListsSettings) {
        *error = "--es-unknown and --es-lists-settings exclude each other";
        return false;
    }
    return true;
}

bool parseCommandLine(int argc, char** argv, CommandLine* out, std::string* error) {
    const std::vector<std::string_view> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    return parseCommandLine(words, out, error);
}

std::string commandLineErrorLine(std::string_view program, std::string_view error) {
    return std::string(program) + ": " + std::string(error) + "; try --help\n";
}

std::string optionsHelpText() {
    std::string text;
    for (const SimOption& option : kOptions) {
        std::string tag = "  " + std::string(option.name);
        if (!option.shortName.empty()) tag += ", " + std::string(option.shortName);
        if (!option.valueName.empty()) tag += " " + std::string(option.valueName);
        // A long tag gets its description on the lines below it.
        tag += tag.size() + 2 <= kHelpColumn ? std::string(kHelpColumn - tag.size(), ' ')
                                             : "\n" + std::string(kHelpColumn, ' ');
        text += tag;
        std::string_view help = option.help;
        for (;;) {
            const std::size_t end = help.find('\n');
            text += help.substr(0, end);
            text += '\n';
            if (end == std::string_view::npos) break;
            help.remove_prefix(end + 1);
            text += std::string(kHelpColumn, ' ');
        }
    }
    return text;
}

std::string usageText(const char* program) {
    return std::string("Usage: ") + program +
           " [options]\n"
           "Serves a simulated Korvane controller on a pseudo-terminal until SIGINT or SIGTERM.\n"
           "The first line printed is the device path to open as the serial port.\n"
           "\n" +
           optionsHelpText();
}

}  // namespace korvane::sim
