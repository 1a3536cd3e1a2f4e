// Windows programs other than the test host, under Wine against the simulated controller:
// the korvane tool (korvane.exe) and the two programs that prove the import libraries
// (korvane_link_mingw.exe linked by MinGW against libkorvane.dll.a, korvane_link_msvc.exe
// linked by clang in Visual Studio mode and lld-link against Korvane.lib).
//
// KORVANE_WINDOWS_BUILD names the cross-build folder; without it the tests are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "korvane/korvane.h"
#include "support/pty_pair.h"
#include "windows/wine_runner.h"

#if __has_include("simulator.h")
#include "simulator.h"

namespace korvane::test {
namespace {

constexpr std::chrono::seconds kTimeout{60};
constexpr char kUuid[] = "3b1f6c2a-8d4e-4f70-9a15-c2e7d0b4a981";
// A port number Wine maps to nothing.
constexpr char kMissingPort[] = "COM250";

std::string withoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class WindowsPrograms : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* build = std::getenv("KORVANE_WINDOWS_BUILD");
        if (build == nullptr || *build == '\0') {
            GTEST_SKIP() << "KORVANE_WINDOWS_BUILD is not set: no cross build to run under Wine";
        }
        wine_.emplace(build);
        ASSERT_EQ(wine_->prepare(), "");
        options_.uuid = kUuid;
        options_.homingDurationMs = 300;
    }

    // Runs a program of the cross build with a fresh simulator on COM<port>; the simulator
    // stays for the test to inspect.
    ProgramRun runWithSimulator(const std::string& program, std::vector<std::string> args, int port,
                                const std::string& logName) {
        simulator_.emplace(options_);
        EXPECT_TRUE(simulator_->start()) << simulator_->error();
        EXPECT_EQ(wine_->linkComPort(port, simulator_->devicePath()), "");
        const ProgramRun run = wine_->runProgram(program, args, logName, kTimeout);
        wine_->unlinkComPort(port);
        EXPECT_TRUE(run.started) << run.output;
        EXPECT_FALSE(run.timedOut) << "hung; output so far:\n" << run.output;
        return run;
    }

    ProgramRun tool(std::vector<std::string> args, int port, const std::string& logName) {
        return runWithSimulator("tools/korvane/korvane.exe", std::move(args), port, logName);
    }

    // The Linux tool with the same arguments against a fresh simulator of its own, the port
    // argument replaced by the simulator's device.
    ProgramRun linuxTool(std::vector<std::string> args, const std::string& logName) {
#ifdef KORVANE_TOOL_PATH
        simulator_.emplace(options_);
        EXPECT_TRUE(simulator_->start()) << simulator_->error();
        for (std::string& arg : args) {
            if (arg.rfind("COM", 0) == 0) arg = simulator_->devicePath();
        }
        args.insert(args.begin(), KORVANE_TOOL_PATH);
        return wine_->runNative(args, logName, kTimeout);
#else
        (void)args;
        (void)logName;
        ADD_FAILURE() << "the native build has no korvane tool to compare with";
        return {};
#endif
    }

    std::optional<WineRunner> wine_;
    sim::SimOptions options_;
    std::optional<sim::Simulator> simulator_;
};

// The queries print exactly what the Linux tool prints for the same machine (Windows ends
// lines with CR LF on the console, which is the only difference allowed).
TEST_F(WindowsPrograms, ToolQueriesPrintWhatLinuxPrints) {
    const std::vector<std::vector<std::string>> commands = {
        {"status", "--port", "COM7"},
        {"status", "--port", "COM7", "--json"},
        {"position", "--port", "COM7", "--json"},
        {"uuid", "--port", "COM12"},
    };
    for (const auto& command : commands) {
        const std::string name = command[0] + (command.back() == "--json" ? "-json" : "");
        const int port = std::atoi(command[2].c_str() + 3);
        const ProgramRun windows = tool(command, port, "tool-" + name);
        const ProgramRun linux = linuxTool(command, "linux-tool-" + name);
        EXPECT_EQ(windows.exitCode, 0) << windows.output;
        EXPECT_EQ(linux.exitCode, 0) << linux.output;
        EXPECT_EQ(withoutCarriageReturns(windows.output), linux.output) << name;
    }
}

TEST_F(WindowsPrograms, ToolMovesTheMachine) {
    ProgramRun run = tool(
        {"jog", "--port", "COM7", "--axis", "x", "--distance", "2.5", "--feed", "600", "--wait"}, 7,
        "tool-jog");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(contains(simulator_->receivedLines(), "$J=G91 x2.500 F600")) << run.output;
    EXPECT_NEAR(simulator_->snapshot().positions[0], 2.5, 1e-3) << run.output;

    run = tool({"velocity", "--port", "COM12", "--axis", "y", "--rate", "-600", "--seconds", "0.8"},
               12, "tool-velocity");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::vector<std::string> lines = simulator_->receivedLines();
    EXPECT_FALSE(lines.empty()) << run.output;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind("$J=G91 y-", 0), 0u) << line << "\n" << run.output;
    }
    EXPECT_GE(simulator_->realtimeCount(0x85), 1u) << "velocity mode was not cancelled";
    EXPECT_LT(simulator_->snapshot().positions[1], 0.0) << run.output;

    run = tool({"home", "--port", "COM7"}, 7, "tool-home");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(simulator_->receivedLines(), std::vector<std::string>{"$H"}) << run.output;
}

TEST_F(WindowsPrograms, ToolFailsClearlyOnAMissingPort) {
    const ProgramRun run =
        wine_->runProgram("tools/korvane/korvane.exe", {"status", "--port", kMissingPort},
                          "tool-missing-port", kTimeout);
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_NE(run.output.find(std::string("cannot open port ") + kMissingPort + ": no such port"),
              std::string::npos)
        << run.output;
}

// The help lists only what runs on Windows; the rest, run anyway, says why it cannot.
TEST_F(WindowsPrograms, ToolLinuxOnlyCommandsAreLeftOutOfTheHelpAndSaySo) {
    const ProgramRun help =
        wine_->runProgram("tools/korvane/korvane.exe", {"--help"}, "tool-help", kTimeout);
    EXPECT_EQ(help.exitCode, 0) << help.output;
    const std::string overview = withoutCarriageReturns(help.output);
    for (const std::string command : {"ports", "status", "jog", "velocity", "estop"}) {
        EXPECT_NE(overview.find("\n  " + command + " "), std::string::npos) << overview;
    }
    for (const std::string command : {"sim", "demo", "pendant"}) {
        EXPECT_EQ(overview.find("\n  " + command + " "), std::string::npos) << overview;
        EXPECT_EQ(overview.find("korvane " + command), std::string::npos) << overview;
        const ProgramRun run =
            wine_->runProgram("tools/korvane/korvane.exe", {command}, "tool-" + command, kTimeout);
        EXPECT_EQ(run.exitCode, 2) << run.output;
        EXPECT_NE(run.output.find(command + " runs on Linux only"), std::string::npos)
            << run.output;
    }
    const ProgramRun version =
        wine_->runProgram("tools/korvane/korvane.exe", {"--version"}, "tool-version", kTimeout);
    EXPECT_EQ(version.exitCode, 0) << version.output;
    EXPECT_EQ(withoutCarriageReturns(version.output),
              std::string("korvane ") + KORVANE_VERSION_STRING + "\n");
}

// Ports mapped the way Wine documents, through HKLM\Software\Wine\Ports, which its mount
// manager turns into COM devices and SERIALCOMM entries when the wine server starts (a bare
// dosdevices link opens, but Wine lists it nowhere). Undone however the test ends.
class MappedWinePorts {
  public:
    MappedWinePorts(const WineRunner& wine, std::vector<std::pair<int, std::string>> ports)
        : wine_(wine), ports_(std::move(ports)) {
        for (const auto& [number, device] : ports_) {
            registry({"add", kKey, "/v", "COM" + std::to_string(number), "/t", "REG_SZ", "/d",
                      device, "/f"});
        }
        restartServer();
        awaitSerialComm();
    }
    ~MappedWinePorts() {
        for (const auto& [number, device] : ports_) {
            registry({"delete", kKey, "/v", "COM" + std::to_string(number), "/f"});
            wine_.unlinkComPort(number);
        }
        restartServer();
    }
    MappedWinePorts(const MappedWinePorts&) = delete;
    MappedWinePorts& operator=(const MappedWinePorts&) = delete;

  private:
    static constexpr char kKey[] = "HKLM\\Software\\Wine\\Ports";

    void registry(std::vector<std::string> args) const {
        args.insert(args.begin(), {"wine", "reg"});
        const ProgramRun run = wine_.runNative(args, "wine-reg", kTimeout);
        EXPECT_EQ(run.exitCode, 0) << run.output;
    }
    void restartServer() const {
        wine_.runNative({"wineserver", "-k"}, "wineserver-kill", kTimeout);
        wine_.runNative({"wineserver", "-w"}, "wineserver-wait", kTimeout);
    }
    // The mount manager fills SERIALCOMM in its own time after the server has started: a
    // program run before then finds no ports at all. So the first program after the restart
    // asks the registry until every mapped port is there.
    void awaitSerialComm() const {
        std::string listed;
        for (int attempt = 0; attempt < 60; ++attempt) {
            const ProgramRun query =
                wine_.runNative({"wine", "reg", "query", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"},
                                "wine-reg-serialcomm", kTimeout);
            listed = query.output;
            const bool all = std::all_of(ports_.begin(), ports_.end(), [&](const auto& port) {
                const std::regex name("\\bCOM" + std::to_string(port.first) + "\\b");
                return std::regex_search(listed, name);
            });
            if (all) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        ADD_FAILURE() << "Wine never listed the mapped ports in SERIALCOMM:\n" << listed;
    }

    const WineRunner& wine_;
    std::vector<std::pair<int, std::string>> ports_;
};

TEST_F(WindowsPrograms, ToolListsTheComPortsWindowsKnows) {
    test::PtyPair spare;
    simulator_.emplace(options_);
    ASSERT_TRUE(simulator_->start()) << simulator_->error();
    {
        const MappedWinePorts mapped(*wine_,
                                     {{31, simulator_->devicePath()}, {4, spare.slavePath()}});
        ASSERT_EQ(wine_->prepare(), "");
        const ProgramRun run =
            wine_->runProgram("tools/korvane/korvane.exe", {"ports"}, "tool-ports", kTimeout);
        EXPECT_EQ(run.exitCode, 0) << run.output;
        const std::string listed = withoutCarriageReturns(run.output);
        // Each with its device name, in the order of the numbers: COM4 before COM31.
        std::smatch com4;
        std::smatch com31;
        const std::regex line4(R"((^|\n)COM4 +\\Device\\\w+\n)");
        const std::regex line31(R"((^|\n)COM31 +\\Device\\\w+\n)");
        ASSERT_TRUE(std::regex_search(listed, com4, line4)) << listed;
        ASSERT_TRUE(std::regex_search(listed, com31, line31)) << listed;
        EXPECT_LT(com4.position(0), com31.position(0)) << listed;

        // A listed name is one the other commands open.
        const ProgramRun status =
            wine_->runProgram("tools/korvane/korvane.exe", {"status", "--port", "COM31"},
                              "tool-ports-status", kTimeout);
        EXPECT_EQ(status.exitCode, 0) << status.output;
    }
    ASSERT_EQ(wine_->prepare(), "");
    const ProgramRun after =
        wine_->runProgram("tools/korvane/korvane.exe", {"ports"}, "tool-ports-after", kTimeout);
    EXPECT_EQ(after.output.find("COM31"), std::string::npos) << after.output;
}

// The import libraries: each program connects through its linked imports, sends a jog with
// float arguments, reads positions and the UUID through a pointer-sized length.
class ImportLibraries : public WindowsPrograms,
                        public ::testing::WithParamInterface<const char*> {};

TEST_P(ImportLibraries, LinkedProgramDrivesTheSimulator) {
    const std::string program = std::string("tests/windows/") + GetParam() + ".exe";
    const ProgramRun run = runWithSimulator(program, {"COM9"}, 9, GetParam());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.value("version"), KORVANE_VERSION_STRING) << run.output;
    EXPECT_EQ(run.value("connect"), "0") << run.output;
    EXPECT_EQ(run.value("state"), std::to_string(KORVANE_STATE_IDLE)) << run.output;
    EXPECT_EQ(run.value("uuid"), kUuid) << run.output;
    EXPECT_EQ(run.value("invalid_axis"), std::to_string(KORVANE_INVALID_ARGUMENT)) << run.output;
    EXPECT_EQ(run.value("last_error_null"), "Invalid handle") << run.output;
    EXPECT_EQ(run.value("failures"), "0") << run.output;
    const std::vector<std::string> expected = {"$J=G91 x2.500 F300", "$device_uuid"};
    EXPECT_EQ(simulator_->receivedLines(), expected) << run.output;
}

INSTANTIATE_TEST_SUITE_P(MinGwAndVisualStudio, ImportLibraries,
                         ::testing::Values("korvane_link_mingw", "korvane_link_msvc"));

}  // namespace
}  // namespace korvane::test

#endif
