// Korvane.dll under Wine: korvane_wine_host.exe loads the cross-built DLL and runs a scenario
// on a COM port that is a symlink to a pty, with a scripted or simulated controller on the
// other end. The tests check the host's exit status, the values it read through the DLL and
// the exact bytes that reached the controller.
//
// KORVANE_WINDOWS_BUILD names the cross-build folder; without it the tests are skipped.
#include <gtest/gtest.h>
#include <termios.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "korvane/korvane.h"
#include "support/pty_pair.h"
#include "support/scripted_controller.h"
#include "windows/wine_runner.h"

#if __has_include("simulator.h")
#include "simulator.h"
#define KORVANE_HAVE_SIMULATOR 1
#endif

namespace korvane::test {
namespace {

// Generous: Wine starts in about a second when warm, but a cold server or a loaded machine
// can take many times that. Hitting the limit means the host hung.
constexpr std::chrono::seconds kHostTimeout{60};

// The report every "?" gets in the query tests: three positions, a feed, two of four limits.
constexpr char kQueryReport[] = "<Jog|MPos:1.500,-2.250,3.000|FS:750,0|Lim:1,0,1,0>\r\n";
constexpr char kUuid[] = "0f8e2d71-9c4b-4a3e-b5d6-7a1c2e9f4b80";

class WindowsDll : public ::testing::Test {
  protected:
    // Every test prepares the prefix: the first one in a fresh cross-build folder creates
    // it, the others find it ready and only make sure a wine server is warm.
    void SetUp() override {
        const char* build = std::getenv("KORVANE_WINDOWS_BUILD");
        if (build == nullptr || *build == '\0') {
            GTEST_SKIP() << "KORVANE_WINDOWS_BUILD is not set: no cross build of Korvane.dll "
                            "to run under Wine (scripts/test-windows.sh sets it)";
        }
        wine_.emplace(build);
        ASSERT_EQ(wine_->prepare(), "");
    }

    // Runs a scenario on COM<port> linked to device; the host's output goes into every
    // failure message.
    ProgramRun runOn(const std::string& scenario, int port, const std::string& device) {
        EXPECT_EQ(wine_->linkComPort(port, device), "");
        ProgramRun run = wine_->runHost(scenario, port, kHostTimeout);
        wine_->unlinkComPort(port);
        EXPECT_TRUE(run.started) << run.output;
        EXPECT_FALSE(run.timedOut) << "host hung; its output so far:\n" << run.output;
        return run;
    }

  private:
    std::optional<WineRunner> wine_;
};

std::vector<std::string> jogLinesAndCancels(const std::vector<Input>& inputs) {
    std::vector<std::string> events;
    for (const Input& in : inputs) {
        if (in.is(kJogCancel)) events.push_back("<0x85>");
        // The empty line of connect (which learns the line ends) is no jog line.
        if (!in.realtime && !in.line.empty()) events.push_back(in.line);
    }
    return events;
}

std::string comPortName(const ::testing::TestParamInfo<int>& port) {
    return "COM" + std::to_string(port.param);
}

// The DLL loads, all 21 exports resolve, and connecting costs exactly one probe byte, on
// low and high port numbers alike (COM10 and up need the device-path form of the name).
class WindowsDllPorts : public WindowsDll, public ::testing::WithParamInterface<int> {};

// Connect writes one probe byte and, once it is answered, one empty line whose replies tell
// how the controller counts line ends.
TEST_P(WindowsDllPorts, SmokeConnectsWithOneProbeAndOneEmptyLine) {
    PtyPair pty;
    ScriptedController controller(pty);
    controller.answer("<Idle|MPos:0.000,0.000,0.000|FS:0,0>\r\n", "ok\r\n");
    const ProgramRun run = runOn("smoke", GetParam(), pty.slavePath());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.value("version"), KORVANE_VERSION_STRING);
    EXPECT_EQ(controller.received(), "?\r\n") << run.output;
}

INSTANTIATE_TEST_SUITE_P(LowAndHigh, WindowsDllPorts, ::testing::Values(3, 10), comPortName);

// A port whose driver has XON/XOFF and RTS/CTS flow control on: the DLL's open turns both
// off (Wine carries the device-control block's fOutX and fInX to the pty's IXON and IXOFF,
// and fOutxCtsFlow with an RTS handshake to CRTSCTS), so neither a stray XOFF nor a CTS line
// the board never raises could stop its writes. The open reads the settings back and fails
// on any difference, so a passing smoke run also means Wine reported them as set.
TEST_F(WindowsDll, ConnectTurnsOffSoftwareAndHardwareFlowControl) {
    PtyPair pty(PtyPair::Settings::SerialDefaults);
    termios before{};
    ASSERT_EQ(tcgetattr(pty.master(), &before), 0);
    before.c_cflag |= CRTSCTS;
    ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(pty.master(), &before), 0);
    ASSERT_NE(before.c_cflag & CRTSCTS, 0u) << "the pty must keep CRTSCTS for this test";
    ASSERT_NE(before.c_iflag & IXON, 0u);
    ScriptedController controller(pty);
    controller.answerQueries("<Idle|MPos:0.000,0.000,0.000|FS:0,0>\r\n");
    const ProgramRun run = runOn("smoke", 11, pty.slavePath());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    termios after{};
    ASSERT_EQ(tcgetattr(pty.master(), &after), 0);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF), 0u) << run.output;
    EXPECT_EQ(after.c_cflag & CRTSCTS, 0u) << run.output;
    EXPECT_EQ(after.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B115200));
}

// A missing port fails at once; a silent one only through the probe's time-out, which
// relies on the serial read time-outs working under Wine.
TEST_F(WindowsDll, ConnectFailsOnMissingAndSilentPorts) {
    PtyPair pty;
    ScriptedController controller(pty);  // answers nothing
    const ProgramRun run = runOn("no-controller", 4, pty.slavePath());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    // The probe asks again every 250 ms, for a controller that is still starting.
    const std::string received = controller.received();
    EXPECT_GE(received.size(), 4u) << run.output;
    EXPECT_EQ(received.find_first_not_of('?'), std::string::npos) << run.output;
    const int probeMs = std::atoi(run.value("probe_ms").c_str());
    EXPECT_GE(probeMs, 2900) << run.output;
    EXPECT_LT(probeMs, 15000) << run.output;
    // Windows reports a COM port that nothing is mapped to as a missing file (error 2).
    EXPECT_EQ(run.value("open_error"), "Port open failed: COM300: no such port (Windows error 2)")
        << run.output;
    EXPECT_EQ(run.value("timeout_error").rfind("Timeout waiting for a controller: ", 0), 0u)
        << run.output;
}

TEST_F(WindowsDll, QueriesCarryValuesAcrossTheDllBoundary) {
    PtyPair pty;
    ScriptedController controller(pty);
    controller.respond([](const Input& in) {
        if (in.is('?')) return reply(kQueryReport);
        if (in.isLine("$device_uuid"))
            return reply(std::string("device_uuid=") + kUuid + "\r\nok\r\n");
        return reply("error:1\r\n");
    });
    const ProgramRun run = runOn("queries", 5, pty.slavePath());
    EXPECT_EQ(run.exitCode, 0) << run.output;

    EXPECT_EQ(run.value("state"), "3");
    EXPECT_EQ(run.value("positions"), "1.500 -2.250 3.000 0.000 0.000 0.000");
    EXPECT_EQ(run.value("count"), "3");
    EXPECT_EQ(run.value("feed"), "750.000");
    EXPECT_EQ(run.value("limits"), "1 0 1 0");
    EXPECT_EQ(run.value("uuid"), kUuid);
    EXPECT_EQ(run.value("uuid9"), std::string(kUuid, 8));
    // Probe and the empty line of connect; state, positions twice, feed, limits; then the
    // UUID line twice. None of the refused calls put anything on the wire.
    EXPECT_EQ(controller.received(), "?\r\n?????$device_uuid\r\n$device_uuid\r\n") << run.output;
}

// The worker thread of velocity mode, under Wine's threads: first line at once, a jog cancel
// before the line of a new rate and before the first line of a new axis, and nothing after
// the final cancel.
TEST_F(WindowsDll, VelocityModeLinesAndJogCancels) {
    PtyPair pty;
    ScriptedController controller(pty);
    // Jogging from a jog line until a jog cancel, at rest after it, as a controller is.
    auto jogging = std::make_shared<std::atomic<bool>>(false);
    controller.respond([jogging](const Input& in) -> Script {
        if (in.is(kJogCancel)) jogging->store(false);
        if (in.is('?')) {
            return reply(jogging->load() ? "<Jog|MPos:0.000,0.000,0.000|FS:600,0>\r\n"
                                         : "<Idle|MPos:0.000,0.000,0.000|FS:0,0>\r\n");
        }
        if (in.realtime) return {};
        if (in.line.rfind("$J=", 0) == 0) jogging->store(true);
        return reply("ok\r\n");
    });
    const ProgramRun run = runOn("velocity", 6, pty.slavePath());
    EXPECT_EQ(run.exitCode, 0) << run.output;

    const std::vector<std::string> expected = {"$J=G91 x200.000 F600",  "<0x85>",
                                               "$J=G91 x300.000 F900",  "<0x85>",
                                               "$J=G91 y-150.000 F450", "<0x85>"};
    EXPECT_EQ(jogLinesAndCancels(controller.inputs()), expected) << run.output;
    // The host polled the state throughout; the worker itself never queries.
    EXPECT_GE(controller.countInputs([](const Input& in) { return in.is('?'); }), 10u);
}

// A misbehaving controller, in the order scenario_hostile.cpp expects it: every call ends with
// its clear result, values are cut or saturated as on Linux, nothing lands outside a buffer.
// Each reply is a few times the library's longest line, not tens of thousands of bytes: Wine
// reads a serial port a byte per call, slowly enough that a huge reply would outlast the
// call's time limit, and the pty would then hold the controller's writes for ever.
TEST_F(WindowsDll, HostileRepliesGiveClearResults) {
    PtyPair pty;
    ScriptedController controller(pty);
    auto queries = std::make_shared<std::atomic<int>>(0);
    controller.respond([queries](const Input& in) {
        if (in.isLine("$device_uuid")) {
            return reply("device_uuid=" + std::string(2000, 'u') + "\r\n");
        }
        if (!in.is('?')) return reply("error:1\r\n");
        std::string huge = "<Idle|MPos:";
        for (int i = 0; i < 1000; ++i) huge += "1,";
        std::string noise = "x";  // starts no reply
        for (int i = 0; i < 1500; ++i) {
            const char c = static_cast<char>((i * 7919 + 13) & 0xFF);
            noise.push_back(c == '\n' ? '\r' : c);
        }
        switch ((*queries)++) {
            case 0:  // the probe of Korvane_Connect
                return reply("<Idle|MPos:0.000,0.000,0.000>\r\n");
            case 1:
                return reply(huge + ">\r\n");
            case 2:
                return reply(std::string(2000, 'x') + "\r\n<Idle|MPos:4,5.5,-6>\r\n");
            case 3:
                return reply("error:" + std::string(2000, 'e') + "\r\n");
            case 4:
                return reply("<Idle|MPos:1e999,-1e999,nan,-inf,3.5e38,1e-999>\r\n");
            default:
                return reply(noise + "\r\n<Idle|MPos:1.000,2.000,3.000>\r\n");
        }
    });
    const ProgramRun run = runOn("hostile", 5, pty.slavePath());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.value("after_junk"), "4.000 5.500 -6.000 0.000 0.000 0.000") << run.output;
    EXPECT_EQ(run.value("error_length"), "255") << run.output;
    EXPECT_EQ(run.value("extreme_positions"), "inf -inf nan -inf inf 0.000") << run.output;
    EXPECT_EQ(run.value("extreme_count"), "6") << run.output;
    EXPECT_EQ(run.value("after_noise"), "1.000 2.000 3.000") << run.output;
    // The UUID line is cut at 255 characters, 12 of them "device_uuid=".
    EXPECT_EQ(run.value("uuid_length"), "243") << run.output;
}

// The calling convention: a caller and the DLL that disagreed about who pops the arguments
// would move the host's stack pointer a little on every call.
TEST_F(WindowsDll, StackPointerUnchangedAfterThousandsOfCalls) {
    PtyPair pty;
    ScriptedController controller(pty);
    controller.answerQueries("<Idle|MPos:1.000,2.000,3.000|FS:0,0|Lim:0,0,0,0>\r\n");
    const ProgramRun run = runOn("stack", 8, pty.slavePath());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.value("stack_moved"), "0") << run.output;
    EXPECT_GE(std::atoi(run.value("calls").c_str()), 90000) << run.output;
}

#if defined(KORVANE_HAVE_SIMULATOR)

class WindowsDllWholeApi : public WindowsDll, public ::testing::WithParamInterface<int> {};

// Every export against the simulated controller, on a low and a high port number.
TEST_P(WindowsDllWholeApi, EveryExportAgainstTheSimulator) {
    sim::SimOptions options;
    options.uuid = kUuid;
    options.homingDurationMs = 800;
    sim::Simulator simulator(options);
    ASSERT_TRUE(simulator.start()) << simulator.error();
    const ProgramRun run = runOn("whole-api", GetParam(), simulator.devicePath());
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.value("uuid"), kUuid);
    EXPECT_EQ(run.value("version"), KORVANE_VERSION_STRING);

    const std::vector<std::string> expected = {
        "$H",
        "$axes/x/max_travel_mm=300.000",
        "$axes/x/homing/mpos_mm=-5.000",
        "$axes/x/soft_limits=true",
        "$axes/x/acceleration_mm_per_sec2=750.000",
        "$Hx",
        "$MPos=y5.000",
        "$J=G90 x10.000 F600",
        "$J=G91 x-4.000 F1200",
        "$J=G90 x500.000 F600",
        "$J=G91 z50.000 F300",
        "$J=G91 y200.000 F600",
        "$device_uuid",
        "$J=G91 x100.000 F300",
        "$ES",
        "$J=G91 x1.000 F100",
        "$H",
    };
    EXPECT_EQ(simulator.receivedLines(), expected) << run.output;
    // The feed hold and the emergency stop's own hold.
    EXPECT_EQ(simulator.realtimeCount('!'), 2u);
    EXPECT_EQ(simulator.realtimeCount('~'), 1u);
    // The feed hold of a running jog, the velocity stop, and the emergency stop that found
    // velocity mode running: each cancels the jog first.
    EXPECT_EQ(simulator.realtimeCount(0x85), 3u);
}

INSTANTIATE_TEST_SUITE_P(LowAndHigh, WindowsDllWholeApi, ::testing::Values(7, 12), comPortName);

#endif

}  // namespace
}  // namespace korvane::test
