#include <algorithm>
#include <string>

#include "frame/commands.h"
#include "frame/exit_codes.h"
#include "frame/text_format.h"
#include "platform/port_list.h"
#include "platform/port_names.h"

namespace korvane::tool {

namespace {

constexpr OptionInfo kPort{"--port", true, "PORT"};
constexpr OptionInfo kBaud{"--baud", true, "N"};
constexpr OptionInfo kJson{"--json", false, ""};
constexpr OptionInfo kAxis{"--axis", true, "A"};

// "korvane jog --port PORT ...", or just "korvane ports" for a command without options.
std::string usageLine(const Subcommand& command) {
    std::string line = "korvane " + std::string(command.name);
    if (!command.synopsis.empty()) {
        line += ' ';
        line += command.synopsis;
    }
    return line;
}

}  // namespace

bool runsOnThisSystem(const Subcommand& command) {
#ifdef _WIN32
    // These three need a pseudo-terminal or curses (linux_only_commands_win32.cpp): the
    // overview leaves them out, and run anyway they say why they cannot.
    return command.run != runSim && command.run != runDemo && command.run != runPendant;
#else
    (void)command;
    return true;
#endif
}

std::vector<Subcommand> commandTable() {
    return {
        {"demo",
         "[--homing-ms N] [--verbose]",
         "tour the whole API against the built-in simulator (no hardware needed)",
         "Starts the simulated controller on a pseudo-terminal, connects through the library\n"
         "and calls every export, printing each call, its result, its time and its values,\n"
         "with checks on what the machine did. Exit code 0 only when all went as expected.\n\n"
         "  --homing-ms N      how long a homing cycle takes (default 800)\n"
         "  --verbose          log every command the simulator receives to stderr\n",
         {{"--homing-ms", true, "N"}, {"--verbose", false, ""}},
         runDemo},
        {"sim",
         "[options]",
         "run the simulated controller in the foreground and print its port",
         "Prints the simulator's port on the first line, then serves it until SIGINT or\n"
         "SIGTERM. Takes the options of korvane-sim:\n\n" +
             simOptionsHelp(),
         {},
         runSim,
         true},
        {"ports",
         "",
         "list the serial ports this computer has",
         "Lists the serial ports the system knows, to find the one a controller is on.\n" +
             std::string(portListHelpText()),
         {},
         runPorts},
        {"status",
         "--port PORT [--baud N] [--json]",
         "machine state, positions, feed and limit values",
         "Reads the state, the positions, the feed and the four limit values: four status\n"
         "queries.\n\n"
         "  --json             one JSON object: state (name and value), positions, count,\n"
         "                     feed, limits\n",
         {kPort, kBaud, kJson},
         runStatus},
        {"position",
         "--port PORT [--baud N] [--json]",
         "axis positions",
         "Reads the axis positions and how many the controller reported.\n\n"
         "  --json             one JSON object: positions (six numbers) and count\n",
         {kPort, kBaud, kJson},
         runPosition},
        {"uuid",
         "--port PORT [--baud N] [--json]",
         "the controller's device UUID",
         "Asks the controller for its device UUID.\n\n"
         "  --json             one JSON object: uuid\n",
         {kPort, kBaud, kJson},
         runUuid},
        {"monitor",
         "--port PORT [--baud N] [--interval-ms N]",
         "one status line, refreshed until Ctrl-C",
         "Shows state, positions, feed and limits, refreshed in place on a terminal (one\n"
         "line per refresh into a pipe), until SIGINT or SIGTERM ends it with a disconnect.\n"
         "A missed reply is shown and the watch goes on. The port stays open (and closed to\n"
         "other programs) while it runs.\n\n"
         "  --interval-ms N    time between refreshes (default 250)\n",
         {kPort, kBaud, {"--interval-ms", true, "N"}},
         runMonitor},
        {"velocity",
         "--port PORT [--baud N] --axis A --rate R --seconds S [--interval-ms N]",
         "continuous jog of one axis for a while, position shown live",
         "Starts velocity mode, polls the status (velocity mode follows the machine only\n"
         "through these queries) and prints the position, then stops after S seconds or at\n"
         "Ctrl-C.\n\n"
         "  --axis A           x, y, z, a, b, c or 0..5\n"
         "  --rate R           signed feed in units per minute (+600, -1200)\n"
         "  --seconds S        how long to move (up to 3600)\n"
         "  --interval-ms N    time between polls (default 200)\n",
         {kPort,
          kBaud,
          kAxis,
          {"--rate", true, "R"},
          {"--seconds", true, "S"},
          {"--interval-ms", true, "N"}},
         runVelocity},
        {"pendant",
         "--port PORT [--baud N] [--release-ms N] [--first-repeat-ms N]",
         "full-screen keyboard pendant: jog, step, hold, stop, home; live position",
         "Jogs the machine from the keyboard in a full-screen terminal view that shows the\n"
         "state, the positions, the feed and the limit values, refreshed ten times a second.\n"
         "\n"
         "Keys:\n"
         "  Left/Right         jog x - / +\n"
         "  Down/Up            jog y - / +\n"
         "  PgDn/PgUp          jog z - / +\n"
         "  m                  switch between hold to jog and step jog\n"
         "  - +                slower / faster: F10 F50 F100 F300 F1000 F3000\n"
         "  1 2 3 4            step of 0.01, 0.1, 1 or 10 for step jog\n"
         "  Space              feed hold (ends a jog for good)\n"
         "  r                  resume\n"
         "  e                  EMERGENCY STOP: motion ends, the machine goes into Alarm\n"
         "                     (no arrow, page or function key can send an 'e')\n"
         "  h                  home all axes, after a y to confirm\n"
         "  q, Ctrl-C          quit\n"
         "\n"
         "Hold to jog: the axis moves while its key is held. A terminal reports no key\n"
         "releases, only the repeats of a held key, so the jog stops when no repeat came\n"
         "in time: after a press the first-repeat time, which must exceed the keyboard's\n"
         "delay before its first repeat (read from a Linux console, else 600 ms), and\n"
         "once the key repeats the release time (200 ms). Step jog: each press moves one\n"
         "step; the repeats of a held key move nothing.\n"
         "\n"
         "The jog stops before anything else on release, q, Ctrl-C, SIGTERM, SIGHUP (the\n"
         "terminal or SSH session closed), a failed library call and a controller that\n"
         "stops answering; the terminal is then restored. After a hold, an emergency stop\n"
         "or a failure the jog keys do nothing until they have been released. A terminal\n"
         "smaller than 64x20 shows a one-line notice and jogging is off.\n"
         "\n"
         "  --release-ms N     release time of hold to jog, 50..2000 (default 200)\n"
         "  --first-repeat-ms N\n"
         "                     wait for a held key's first repeat, 50..3000 (default: the\n"
         "                     console's repeat delay + 100 ms, or 600)\n",
         {kPort, kBaud, {"--release-ms", true, "N"}, {"--first-repeat-ms", true, "N"}},
         runPendant},
        {"jog",
         "--port PORT [--baud N] --axis A --distance D --feed F [--wait]",
         "jog one axis by a distance",
         "Jogs one axis relative to where it is.\n\n"
         "  --axis A           x, y, z, a, b, c or 0..5\n"
         "  --distance D       signed distance\n"
         "  --feed F           feed in units per minute\n"
         "  --wait             wait until the jog has ended and print where the axis is;\n"
         "                     Ctrl-C or SIGTERM meanwhile holds and cancels the jog,\n"
         "                     waits until the machine stands and exits 130 or 143\n",
         {kPort,
          kBaud,
          kAxis,
          {"--distance", true, "D"},
          {"--feed", true, "F"},
          {"--wait", false, ""}},
         runJog},
        {"jog-to",
         "--port PORT [--baud N] --axis A --position P --feed F [--wait]",
         "jog one axis to a position",
         "Jogs one axis to an absolute machine position.\n\n"
         "  --axis A           x, y, z, a, b, c or 0..5\n"
         "  --position P       target position\n"
         "  --feed F           feed in units per minute\n"
         "  --wait             wait until the jog has ended and print where the axis is;\n"
         "                     Ctrl-C or SIGTERM meanwhile holds and cancels the jog,\n"
         "                     waits until the machine stands and exits 130 or 143\n",
         {kPort,
          kBaud,
          kAxis,
          {"--position", true, "P"},
          {"--feed", true, "F"},
          {"--wait", false, ""}},
         runJogTo},
        {"set-pos",
         "--port PORT [--baud N] --axis A --position P",
         "set an axis's machine position",
         "Declares the current machine position of one axis, without moving it.\n\n"
         "  --axis A           x, y, z, a, b, c or 0..5\n"
         "  --position P       the new position\n",
         {kPort, kBaud, kAxis, {"--position", true, "P"}},
         runSetPos},
        {"accel",
         "--port PORT [--baud N] --axis A --value V",
         "set an axis's acceleration",
         "  --axis A           x, y, z, a, b, c or 0..5\n"
         "  --value V          acceleration in mm/s^2, greater than zero\n",
         {kPort, kBaud, kAxis, {"--value", true, "V"}},
         runAccel},
        {"soft-limits",
         "--port PORT [--baud N] --axis A --on|--off",
         "turn an axis's soft limits on or off",
         "  --axis A           x, y, z, a, b, c or 0..5\n"
         "  --on, --off        exactly one of them\n",
         {kPort, kBaud, kAxis, {"--on", false, ""}, {"--off", false, ""}},
         runSoftLimits},
        {"travel",
         "--port PORT [--baud N] --axis A --max-travel T --homing-position H",
         "set an axis's maximum travel and homing position",
         "Sets the range soft limits allow: from the homing position over the maximum travel.\n\n"
         "  --axis A           x, y, z, a, b, c or 0..5\n"
         "  --max-travel T     maximum travel\n"
         "  --homing-position H\n"
         "                     machine position after homing\n",
         {kPort, kBaud, kAxis, {"--max-travel", true, "T"}, {"--homing-position", true, "H"}},
         runTravel},
        {"home",
         "--port PORT [--baud N] [--axis A]",
         "run a homing cycle (all axes by default)",
         "Homes one axis or all of them and returns when the cycle is over (up to 30 s).\n"
         "Homing is also the way out of an alarm.\n\n"
         "  --axis A           x, y, z, a, b, c, 0..5 or all (default all)\n",
         {kPort, kBaud, kAxis},
         runHome},
        {"hold",
         "--port PORT [--baud N]",
         "feed hold: pause the motion under way",
         "Sends a feed hold; nothing is sent when the machine was last seen Idle.\n\n",
         {kPort, kBaud},
         runHold},
        {"resume",
         "--port PORT [--baud N]",
         "resume motion after a feed hold",
         "Sends a resume.\n\n",
         {kPort, kBaud},
         runResume},
        {"estop",
         "--port PORT [--baud N]",
         "emergency stop: motion ends, machine in Alarm",
         "Ends velocity mode if it runs and sends the emergency stop. Home the machine\n"
         "afterwards to leave the alarm.\n\n",
         {kPort, kBaud},
         runEstop},
    };
}

void printCommandHelp(const Subcommand& command, Console& console) {
    console.line("usage: " + usageLine(command));
    console.line("");
    console.line(std::string(command.summary));
    console.line("");
    console.print(command.details);
    for (const OptionInfo& option : command.options) {
        if (option.name == kPort.name) {
            console.print(portHelpText());
            break;
        }
    }
}

void printToolHelp(std::span<const Subcommand> commands, Console& console) {
    console.line("usage: korvane <command> [options]");
    console.line("");
    console.line("Drives a motion controller running the Korvane firmware through the Korvane");
    const bool demoRunsHere = std::any_of(commands.begin(), commands.end(), [](const auto& c) {
        return c.run == runDemo && runsOnThisSystem(c);
    });
    console.line(demoRunsHere ? "host library. `korvane demo` needs no hardware."
                              : "host library.");
    console.line("");
    console.line("Commands:");
    for (const Subcommand& command : commands) {
        if (!runsOnThisSystem(command)) continue;
        console.line("  " + padRight(command.name, 13) + std::string(command.summary));
    }
    console.line("");
    console.line("Options shared by the commands that talk to a controller:");
    console.print(portHelpText());
    console.line("Axes are x y z a b c or 0..5; numbers use '.' as the decimal point.");
    console.line("`korvane <command> --help` describes a command; `korvane --version` prints");
    console.line("the version of the library in use.");
    console.line("");
    console.line("Exit codes:");
    console.line("  0  success");
    console.line("  1  a library call failed (stderr names the call, its result and message)");
    console.line("  2  usage error: unknown command or option, repeated option, missing or");
    console.line("     malformed value, or a value out of the range the library accepts");
    console.line("  3  cannot open the port");
    console.line("  4  no controller answered on the port");
    console.line("  130  jog --wait stopped by Ctrl-C (143: by SIGTERM) after the machine stood");
}

void printToolUsageError(std::span<const Subcommand> commands, Console& console,
                         std::string_view problem) {
    console.error(problem);
    std::string names;
    for (const Subcommand& command : commands) {
        if (!runsOnThisSystem(command)) continue;
        if (!names.empty()) names += ' ';
        names += command.name;
    }
    std::FILE* err = console.errorStream();
    std::fputs("usage: korvane <command> [options]\n", err);
    std::fprintf(err, "commands: %s\n", names.c_str());
    std::fputs("`korvane --help` for more\n", err);
}

int Invocation::usageError(std::string_view problem) const {
    console.error(problem);
    std::FILE* err = console.errorStream();
    std::fprintf(err, "usage: %s\n", usageLine(command).c_str());
    std::fprintf(err, "`korvane %.*s --help` for more\n", static_cast<int>(command.name.size()),
                 command.name.data());
    return kExitUsage;
}

}  // namespace korvane::tool
