// End to end: the library's C API, as a host calls it, against the simulated controller on a
// pseudo-terminal. A few cases drive the simulator's wire or its machine model directly, for
// what the library never sends (real-time bytes inside a line, malformed commands) or what is
// best checked with made-up times.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvane/korvane.h"
#include "machine_model.h"
#include "simulator.h"
#include "support/sim_session.h"

namespace {

using namespace std::chrono_literals;
using korvane::sim::MachineModel;
using korvane::sim::MachineState;
using korvane::sim::SimOptions;
using korvane::sim::Simulator;
using Clock = std::chrono::steady_clock;

constexpr int32_t kBaud = 115200;
constexpr float kTolerance = 1e-3f;

using SimEndToEnd = korvane::test::SimSession;
using korvane::test::eventually;

TEST_F(SimEndToEnd, ConnectsQueriesAndReconnects) {
    connect();
    EXPECT_EQ(lastError(), "");
    EXPECT_EQ(state(), KORVANE_STATE_IDLE);

    float positions[6] = {1, 1, 1, 1, 1, 1};
    int32_t count = 0;
    ASSERT_EQ(Korvane_GetPosition(handle_, positions, &count), 0);
    EXPECT_EQ(count, 6);
    for (float p : positions) EXPECT_EQ(p, 0.0f);
    float feed = -1.0f;
    ASSERT_EQ(Korvane_GetSpeed(handle_, &feed), 0);
    EXPECT_EQ(feed, 0.0f);

    sim_->setLimitPins({1, 0, 1, 0});
    int32_t limits[4] = {};
    ASSERT_EQ(Korvane_GetLimits(handle_, limits), 0);
    EXPECT_EQ(limits[0], 1);
    EXPECT_EQ(limits[1], 0);
    EXPECT_EQ(limits[2], 1);
    EXPECT_EQ(limits[3], 0);

    // The simulator keeps its side of the pty open: a host that closes the port and opens it
    // again finds the same machine.
    ASSERT_EQ(Korvane_SetPos(handle_, 1, 4.5f), 0);
    ASSERT_EQ(Korvane_Disconnect(handle_), 0);
    handle_ = nullptr;
    ASSERT_EQ(Korvane_Connect(sim_->devicePathWide().c_str(), kBaud, &handle_), 0);
    EXPECT_NEAR(position(1), 4.5f, kTolerance);
}

TEST_F(SimEndToEnd, JogAbsMovesInRealTimeAndStopsAtTheTarget) {
    connect();
    ASSERT_EQ(Korvane_JogAbs(handle_, 0, 10.0f, 1200.0f), 0) << lastError();
    EXPECT_EQ(state(), KORVANE_STATE_JOG);
    float feed = 0.0f;
    ASSERT_EQ(Korvane_GetSpeed(handle_, &feed), 0);
    EXPECT_EQ(feed, 1200.0f);

    // 10 units at 1200 per minute take half a second: the host sees the axis on its way.
    bool sawIntermediate = false;
    float previous = 0.0f;
    bool monotonic = true;
    ASSERT_TRUE(eventually([&] {
        float positions[6] = {};
        int32_t machine = 0;
        if (Korvane_GetPosition(handle_, positions, nullptr) != 0) return false;
        if (positions[0] > 0.0f && positions[0] < 10.0f) sawIntermediate = true;
        if (positions[0] + kTolerance < previous) monotonic = false;
        previous = positions[0];
        return Korvane_GetState(handle_, &machine) == 0 && machine == KORVANE_STATE_IDLE;
    }));
    EXPECT_TRUE(sawIntermediate);
    EXPECT_TRUE(monotonic);

    float positions[6] = {};
    ASSERT_EQ(Korvane_GetPosition(handle_, positions, nullptr), 0);
    EXPECT_NEAR(positions[0], 10.0f, kTolerance);
    for (int axis = 1; axis < 6; ++axis) EXPECT_EQ(positions[axis], 0.0f);
}

TEST_F(SimEndToEnd, JogRelAddsToThePositionAndANewJogQueuesBehindTheOneUnderWay) {
    connect();
    ASSERT_EQ(Korvane_JogRel(handle_, 1, -2.5f, 6000.0f), 0) << lastError();
    ASSERT_TRUE(reachesState(KORVANE_STATE_IDLE));
    EXPECT_NEAR(position(1), -2.5f, kTolerance);

    // A jog taken while another runs does not replace it: it starts where that one ends.
    ASSERT_EQ(Korvane_JogAbs(handle_, 0, 3.0f, 600.0f), 0);
    ASSERT_EQ(Korvane_JogRel(handle_, 0, 0.5f, 6000.0f), 0);
    ASSERT_TRUE(reachesState(KORVANE_STATE_IDLE));
    EXPECT_NEAR(position(0), 3.5f, kTolerance);
}

// As on real controllers, a hold ends a jog: the machine slows to a stop, is Idle, and a
// resume does not start the jog again.
TEST_F(SimEndToEnd, FeedHoldEndsAJogForGood) {
    connect();
    ASSERT_EQ(Korvane_JogAbs(handle_, 2, 50.0f, 600.0f), 0);
    ASSERT_TRUE(eventually([&] { return position(2) > 0.5f; }));

    ASSERT_EQ(Korvane_FeedHold(handle_), 0);
    ASSERT_TRUE(reachesState(KORVANE_STATE_IDLE));
    const float held = position(2);
    ASSERT_EQ(Korvane_Resume(handle_), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(position(2), held);
    EXPECT_EQ(state(), KORVANE_STATE_IDLE);
}

TEST_F(SimEndToEnd, EmergencyStopLeavesAlarmUntilTheMachineIsHomed) {
    connect();
    ASSERT_EQ(Korvane_JogAbs(handle_, 0, 100.0f, 600.0f), 0);
    ASSERT_TRUE(eventually([&] { return position(0) > 0.2f; }));

    ASSERT_EQ(Korvane_EmergencyStop(handle_), 0) << lastError();
    EXPECT_EQ(state(), KORVANE_STATE_ALARM);
    const float stopped = position(0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(position(0), stopped);

    EXPECT_EQ(Korvane_JogRel(handle_, 0, 1.0f, 600.0f), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(lastError(),
              "Firmware error: error:9 (motion commands are locked out during an alarm or a jog)");

    ASSERT_EQ(Korvane_Home(handle_, KORVANE_AXIS_ALL), 0) << lastError();
    EXPECT_EQ(state(), KORVANE_STATE_IDLE);
    EXPECT_NEAR(position(0), 0.0f, kTolerance);
    EXPECT_EQ(Korvane_JogRel(handle_, 0, 1.0f, 6000.0f), 0) << lastError();
}

TEST_F(SimEndToEnd, HomingMovesAxesToTheirHomingPositionsOrEndsInAlarm) {
    connect();
    ASSERT_EQ(Korvane_SetSoftLimitRange(handle_, 2, 300.0f, -12.5f), 0) << lastError();
    ASSERT_EQ(Korvane_SetPos(handle_, 0, 7.0f), 0);
    ASSERT_EQ(Korvane_SetPos(handle_, 2, 40.0f), 0);

    ASSERT_EQ(Korvane_Home(handle_, 2), 0) << lastError();
    EXPECT_EQ(state(), KORVANE_STATE_IDLE);
    EXPECT_NEAR(position(2), -12.5f, kTolerance);
    EXPECT_NEAR(position(0), 7.0f, kTolerance);  // a single-axis cycle leaves the others

    ASSERT_EQ(Korvane_Home(handle_, KORVANE_AXIS_ALL), 0) << lastError();
    EXPECT_NEAR(position(0), 0.0f, kTolerance);
    EXPECT_NEAR(position(2), -12.5f, kTolerance);

    sim_->setHomingFails(true);
    EXPECT_EQ(Korvane_Home(handle_, 0), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(lastError(),
              "Homing failed: alarm state: ALARM:6 (homing failed: the cycle was reset)");
    EXPECT_EQ(state(), KORVANE_STATE_ALARM);

    sim_->setHomingFails(false);
    EXPECT_EQ(Korvane_Home(handle_, 0), 0) << lastError();
    EXPECT_EQ(state(), KORVANE_STATE_IDLE);
}

TEST_F(SimEndToEnd, DeviceUuidIsTheConfiguredOne) {
    SimOptions options;
    options.uuid = "0d1e2f30-4152-6374-8596-a7b8c9dae0f1";
    connect(options);
    char buffer[64];
    ASSERT_EQ(Korvane_GetDeviceUUID(handle_, buffer, sizeof buffer), 0) << lastError();
    EXPECT_STREQ(buffer, options.uuid.c_str());

    char small[9];
    ASSERT_EQ(Korvane_GetDeviceUUID(handle_, small, sizeof small), 0);
    EXPECT_STREQ(small, "0d1e2f30");
    // The query leaves nothing behind that a following exchange would trip over.
    EXPECT_EQ(state(), KORVANE_STATE_IDLE);
}

TEST_F(SimEndToEnd, SettingsAreStoredAndSoftLimitsRefuseJogsBeyondThem) {
    connect();
    ASSERT_EQ(Korvane_SetAcceleration(handle_, 1, 250.0f), 0) << lastError();
    EXPECT_DOUBLE_EQ(sim_->axisSettings(1).accelerationMmPerSec2, 250.0);

    ASSERT_EQ(Korvane_SetSoftLimitRange(handle_, 0, 100.0f, 0.0f), 0);
    ASSERT_EQ(Korvane_EnableSoftLimits(handle_, 0, 1), 0);
    EXPECT_TRUE(sim_->axisSettings(0).softLimits);
    EXPECT_DOUBLE_EQ(sim_->axisSettings(0).maxTravelMm, 100.0);

    EXPECT_EQ(Korvane_JogAbs(handle_, 0, 150.0f, 6000.0f), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(lastError(),
              "Firmware error: error:15 (the jog would travel outside the machine's soft limits)");
    EXPECT_EQ(state(), KORVANE_STATE_IDLE);

    ASSERT_EQ(Korvane_JogAbs(handle_, 0, 50.0f, 6000.0f), 0);
    ASSERT_TRUE(reachesState(KORVANE_STATE_IDLE));
    EXPECT_NEAR(position(0), 50.0f, kTolerance);

    ASSERT_EQ(Korvane_EnableSoftLimits(handle_, 0, 0), 0);
    EXPECT_FALSE(sim_->axisSettings(0).softLimits);
    EXPECT_EQ(Korvane_JogAbs(handle_, 0, 150.0f, 60000.0f), 0) << lastError();
}

TEST_F(SimEndToEnd, VelocityModeMovesTheAxisWhileTheHostPolls) {
    connect();
    ASSERT_EQ(Korvane_VelocityStart(handle_, 3, 1200.0f), 0);
    ASSERT_TRUE(reachesState(KORVANE_STATE_JOG));
    ASSERT_TRUE(eventually([&] { return position(3) > 2.0f; }));

    // Reversing: the worker cancels the jog under way and sends the opposite one, which the
    // machine runs once it has slowed to a stop.
    const float turning = position(3);
    ASSERT_EQ(Korvane_VelocityStart(handle_, 3, -1200.0f), 0);
    ASSERT_TRUE(eventually([&] { return position(3) < turning - 2.0f; }));

    ASSERT_EQ(Korvane_VelocityStop(handle_), 0);
    ASSERT_TRUE(reachesState(KORVANE_STATE_IDLE));
    const float stopped = position(3);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(position(3), stopped);
    EXPECT_GE(sim_->realtimeCount(0x85), 1u);
}

TEST_F(SimEndToEnd, VelocityModeReissuesTheJogEachTimeItEnds) {
    connect();
    // At this rate each jog is the longest one (3000 units) and ends after half a second;
    // the worker jogs on only if the host's polls show it the machine going Idle.
    ASSERT_EQ(Korvane_VelocityStart(handle_, 4, 360000.0f), 0);
    EXPECT_TRUE(eventually([&] { return position(4) > 3000.5f; }, 10000ms));
    ASSERT_EQ(Korvane_VelocityStop(handle_), 0);

    const std::vector<std::string> lines = sim_->receivedLines();
    EXPECT_GE(std::count(lines.begin(), lines.end(), "$J=G91 b3000.000 F360000"), 2);
}

TEST_F(SimEndToEnd, VelocityModeEndsWhenTheDoorOpens) {
    connect();
    ASSERT_EQ(Korvane_VelocityStart(handle_, 0, 600.0f), 0);
    ASSERT_TRUE(reachesState(KORVANE_STATE_JOG));

    sim_->setDoorOpen(true);
    EXPECT_EQ(state(), KORVANE_STATE_DOOR);
    // Once the worker has seen Door it ends, and motion commands are no longer refused for
    // velocity mode (the machine itself refuses them while the door is open).
    ASSERT_TRUE(eventually(
        [&] { return Korvane_JogRel(handle_, 1, 1.0f, 600.0f) != KORVANE_VELOCITY_ACTIVE; }));
    EXPECT_EQ(Korvane_JogRel(handle_, 1, 1.0f, 600.0f), KORVANE_FIRMWARE_ERROR);

    // The stop cancels all the same: the ended worker's line is still planned on the machine,
    // frozen behind the open door, and must not run once the door closes.
    sim_->clearReceived();
    ASSERT_EQ(Korvane_VelocityStop(handle_), 0);
    EXPECT_TRUE(eventually([&] { return sim_->realtimeCount(0x85) == 1u; }));

    sim_->setDoorOpen(false);
    ASSERT_EQ(Korvane_Resume(handle_), 0);
    ASSERT_TRUE(reachesState(KORVANE_STATE_IDLE));
    const float x = position(0);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(position(0), x);
}

TEST_F(SimEndToEnd, SlowLineWithLatencyStillWorksWithinTheTimeLimits) {
    SimOptions options;
    options.replyLatencyMs = 25;
    options.outputBytesPerSecond = 3000;  // a status report takes about 25 ms on the wire
    connect(options);

    EXPECT_EQ(state(), KORVANE_STATE_IDLE);
    ASSERT_EQ(Korvane_JogRel(handle_, 0, 2.0f, 6000.0f), 0) << lastError();
    ASSERT_TRUE(reachesState(KORVANE_STATE_IDLE));
    EXPECT_NEAR(position(0), 2.0f, kTolerance);

    char uuid[64];
    EXPECT_EQ(Korvane_GetDeviceUUID(handle_, uuid, sizeof uuid), 0) << lastError();
    EXPECT_STREQ(uuid, SimOptions{}.uuid.c_str());
    EXPECT_EQ(Korvane_SetSoftLimitRange(handle_, 1, 200.0f, -5.0f), 0) << lastError();
    EXPECT_EQ(Korvane_Home(handle_, 1), 0) << lastError();
    EXPECT_NEAR(position(1), -5.0f, kTolerance);
}

TEST_F(SimEndToEnd, UnansweredQueriesTimeOutAndTheConnectionRecovers) {
    connect();
    sim_->setDropEveryNthReply(2);
    int answered = 0;
    int timedOut = 0;
    for (int i = 0; i < 4; ++i) {
        int32_t value = 0;
        const ResultCode result = Korvane_GetState(handle_, &value);
        if (result == 0) ++answered;
        if (result == KORVANE_TIMEOUT) {
            ++timedOut;
            EXPECT_EQ(lastError(), "Timeout waiting for response");
        }
    }
    EXPECT_EQ(answered, 2);
    EXPECT_EQ(timedOut, 2);

    sim_->setDropEveryNthReply(0);
    sim_->setSilent(true);
    const auto start = Clock::now();
    int32_t value = 0;
    EXPECT_EQ(Korvane_GetState(handle_, &value), KORVANE_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 450ms);
    EXPECT_EQ(Korvane_SetPos(handle_, 0, 1.0f), KORVANE_TIMEOUT);
    EXPECT_NEAR(sim_->positions()[0], 0.0, 1e-9);  // a silent machine ignores commands

    sim_->setSilent(false);
    EXPECT_EQ(state(), KORVANE_STATE_IDLE);
    // The line written while the machine was silent is still owed a reply that never comes:
    // the next line command says so instead of taking a later reply for its own, and the
    // connection starts its account afresh, so the command after it works.
    EXPECT_EQ(Korvane_SetPos(handle_, 0, 1.0f), KORVANE_TIMEOUT);
    EXPECT_EQ(lastError(), "Controller out of step: replies to earlier commands never came");
    EXPECT_NEAR(sim_->positions()[0], 0.0, 1e-9);
    EXPECT_EQ(Korvane_SetPos(handle_, 0, 1.0f), 0) << lastError();
    EXPECT_NEAR(sim_->positions()[0], 1.0, 1e-6);
}

TEST_F(SimEndToEnd, NumbersDoNotDependOnTheHostLocale) {
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr &&
        std::setlocale(LC_ALL, "de_DE.utf8") == nullptr) {
        GTEST_SKIP() << "no German locale installed";
    }
    connect();
    // Settings first: the machine takes them only at rest.
    const ResultCode set = Korvane_SetSoftLimitRange(handle_, 1, 2.25f, -1.75f);
    const ResultCode jogged = Korvane_JogAbs(handle_, 0, 10.5f, 6000.0f);
    const bool idle = reachesState(KORVANE_STATE_IDLE);
    const float x = position(0);
    std::setlocale(LC_ALL, "C");

    EXPECT_EQ(jogged, 0);
    EXPECT_EQ(set, 0);
    EXPECT_TRUE(idle);
    EXPECT_NEAR(x, 10.5f, kTolerance);
    EXPECT_DOUBLE_EQ(sim_->axisSettings(1).maxTravelMm, 2.25);
    EXPECT_DOUBLE_EQ(sim_->axisSettings(1).homingMposMm, -1.75);
}

// The simulator's wire, without the library: what a host might send that the library never
// does.
class SimWire : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(sim_.start()) << sim_.error();
        fd_ = ::open(sim_.devicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        if (fd_ >= 0) ::close(fd_);
    }

    void send(const std::string& bytes) {
        ASSERT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Reads until `count` lines (without CR LF) have come, or 2 s passed.
    std::vector<std::string> readLines(std::size_t count) {
        std::vector<std::string> lines;
        std::string partial;
        const auto deadline = Clock::now() + 2000ms;
        while (lines.size() < count && Clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char c = 0;
            if (::read(fd_, &c, 1) != 1) continue;
            if (c == '\n') {
                lines.push_back(partial);
                partial.clear();
            } else if (c != '\r') {
                partial += c;
            }
        }
        return lines;
    }

    Simulator sim_;
    int fd_ = -1;
};

TEST_F(SimWire, RealTimeBytesActInTheMiddleOfALine) {
    send("$device_u?uid\r\n");
    const std::vector<std::string> lines = readLines(3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("<Idle|MPos:", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "device_uuid=" + SimOptions{}.uuid);
    EXPECT_EQ(lines[2], "ok");
    EXPECT_EQ(sim_.receivedLines(), std::vector<std::string>{"$device_uuid"});
}

// A line is read a little after it arrived, while a real-time byte acts at once: a cancel
// right behind a jog line overtakes it, does nothing, and the jog runs after it.
TEST_F(SimWire, ACancelCanOvertakeAJogLine) {
    send("$J=G91 x100 F600\r\n\x85");
    ASSERT_EQ(readLines(1), std::vector<std::string>{"ok"});
    EXPECT_EQ(sim_.jogsSinceLastCancel(), 1u);
    EXPECT_EQ(sim_.state(), MachineState::Jog);
    send("\x85");
    EXPECT_TRUE(eventually([&] { return sim_.state() == MachineState::Idle; }));
    EXPECT_EQ(sim_.jogsSinceLastCancel(), 0u);
}

// Controllers that take CR and LF as two line ends answer the empty line between them.
TEST_F(SimWire, OkOnEmptyLineAnswersCrLfTwice) {
    sim_.setOkOnEmptyLine(true);
    send("$MPos=x1\r\n");
    EXPECT_EQ(readLines(2), (std::vector<std::string>{"ok", "ok"}));
    EXPECT_EQ(sim_.receivedLines(), std::vector<std::string>{"$MPos=x1"});
}

TEST_F(SimWire, MalformedCommandsGetErrorLinesAndChangeNothing) {
    send("hello\r\n$nope\r\n$J=G90 x1\r\n$J=G90 x1,5 F100\r\n$axes/x/soft_limits=maybe\r\n");
    send("$MPos=q1\r\n" + std::string(300, 'G') + "\r\n");
    const std::vector<std::string> lines = readLines(7);
    const std::vector<std::string> expected = {"error:1", "error:3", "error:16", "error:2",
                                               "error:4", "error:4", "error:11"};
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(sim_.state(), MachineState::Idle);
    EXPECT_FALSE(sim_.axisSettings(0).softLimits);
}

// The machine model with made-up times: exact positions without waiting for them.
TEST(SimModel, ProgramMotionFreezesInHoldAndResumes) {
    const Clock::time_point t0{};
    MachineModel model("uuid", t0);
    ASSERT_EQ(model.executeLine("G1 x10 F600", t0), std::vector<std::string>{"ok"});

    auto snap = model.snapshot(t0 + 500ms);  // 10 units per second
    EXPECT_EQ(snap.state, MachineState::Run);
    EXPECT_NEAR(snap.positions[0], 5.0, 1e-9);
    EXPECT_EQ(snap.feed, 600.0);

    model.executeRealtime('!', t0 + 500ms);
    snap = model.snapshot(t0 + 5000ms);
    EXPECT_EQ(snap.state, MachineState::Hold);
    EXPECT_NEAR(snap.positions[0], 5.0, 1e-9);
    EXPECT_EQ(model.statusReport(t0 + 5000ms).rfind("<Hold:0|MPos:5.000,", 0), 0u);

    model.executeRealtime('~', t0 + 5000ms);
    EXPECT_NEAR(model.snapshot(t0 + 5250ms).positions[0], 7.5, 1e-9);
    snap = model.snapshot(t0 + 9000ms);
    EXPECT_EQ(snap.state, MachineState::Idle);
    EXPECT_EQ(snap.positions[0], 10.0);
}

// A hold ends a jog for good: it slows down to a stop (v / a = 20 ms over v^2 / 2a = 0.1 at
// 10 units per second and the default 500 per second squared), and a resume finds nothing.
TEST(SimModel, HoldEndsAJogAfterItsDeceleration) {
    const Clock::time_point t0{};
    MachineModel model("uuid", t0);
    ASSERT_EQ(model.executeLine("$J=G90 x10 F600", t0), std::vector<std::string>{"ok"});
    model.executeRealtime('!', t0 + 500ms);
    EXPECT_EQ(model.snapshot(t0 + 510ms).state, MachineState::Hold);
    EXPECT_NEAR(model.snapshot(t0 + 510ms).positions[0], 5.05, 1e-9);
    EXPECT_EQ(model.snapshot(t0 + 600ms).state, MachineState::Idle);
    model.executeRealtime('~', t0 + 600ms);
    const auto snap = model.snapshot(t0 + 5s);
    EXPECT_EQ(snap.state, MachineState::Idle);
    EXPECT_NEAR(snap.positions[0], 5.1, 1e-9);
}

// Jogs queue behind the one under way; a cancel ends that one and drops the queue, does
// nothing at rest, and a jog taken after it runs once the deceleration is over.
TEST(SimModel, JogsQueueAndACancelDropsThem) {
    const Clock::time_point t0{};
    MachineModel model("uuid", t0);
    ASSERT_EQ(model.executeLine("$J=G91 x1 F600", t0), std::vector<std::string>{"ok"});
    ASSERT_EQ(model.executeLine("$J=G91 x-3 F600", t0), std::vector<std::string>{"ok"});
    EXPECT_NEAR(model.snapshot(t0 + 100ms).positions[0], 1.0, 1e-9);
    EXPECT_NEAR(model.snapshot(t0 + 150ms).positions[0], 0.5, 1e-9);
    EXPECT_NEAR(model.snapshot(t0 + 1s).positions[0], -2.0, 1e-9);
    EXPECT_EQ(model.jogsSinceLastCancel(), 2u);

    model.executeRealtime(0x85, t0 + 2s);  // at rest: nothing happens, the count restarts
    EXPECT_EQ(model.jogsSinceLastCancel(), 0u);
    ASSERT_EQ(model.executeLine("$J=G91 x100 F600", t0 + 2s), std::vector<std::string>{"ok"});
    ASSERT_EQ(model.executeLine("$J=G91 x100 F600", t0 + 2s), std::vector<std::string>{"ok"});
    model.executeRealtime(0x85, t0 + 3s);
    ASSERT_EQ(model.executeLine("$J=G91 x-1 F600", t0 + 3s), std::vector<std::string>{"ok"});
    EXPECT_EQ(model.jogsSinceLastCancel(), 1u);
    EXPECT_EQ(model.snapshot(t0 + 3010ms).state, MachineState::Jog);
    const auto snap = model.snapshot(t0 + 5s);
    EXPECT_EQ(snap.state, MachineState::Idle);
    EXPECT_NEAR(snap.positions[0], -2.0 + 10.0 + 0.1 - 1.0, 1e-9);
}

TEST(SimModel, QuietHomingAnswersNoQueryAndReportsHomeOnce) {
    const Clock::time_point t0{};
    MachineModel model("uuid", t0);
    model.setHomingDuration(100ms);
    model.setQuietHoming(true);
    ASSERT_EQ(model.executeLine("$H", t0), std::vector<std::string>{"ok"});
    EXPECT_TRUE(model.executeRealtime('?', t0 + 50ms).empty());
    model.advance(t0 + 150ms);
    const std::vector<std::string> lines = model.takeUnsolicited();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("<Home|", 0), 0u) << lines[0];
    EXPECT_EQ(model.executeRealtime('?', t0 + 150ms)[0].rfind("<Idle|", 0), 0u);

    model.setHomingFails(true);
    ASSERT_EQ(model.executeLine("$H", t0 + 200ms), std::vector<std::string>{"ok"});
    model.advance(t0 + 400ms);
    EXPECT_EQ(model.takeUnsolicited(), std::vector<std::string>{"ALARM:6"});
    EXPECT_EQ(model.executeRealtime('?', t0 + 400ms)[0].rfind("<Alarm|", 0), 0u);
}

// Which line ends make an empty line is the splitter's business; the machine answers it.
TEST(SimModel, EmptyLinesAreAnsweredOk) {
    const Clock::time_point t0{};
    MachineModel model("uuid", t0);
    EXPECT_EQ(model.executeLine("", t0), std::vector<std::string>{"ok"});
}

TEST(SimModel, ProgramLinesRunInOrderAsRun) {
    const Clock::time_point t0{};
    MachineModel model("uuid", t0);
    EXPECT_EQ(model.executeLine("G1 x3", t0), std::vector<std::string>{"error:22"});
    ASSERT_EQ(model.executeLine("G1 x3 F60", t0), std::vector<std::string>{"ok"});
    ASSERT_EQ(model.executeLine("G91 y4", t0), std::vector<std::string>{"ok"});
    // A jog may not cut into program motion.
    EXPECT_EQ(model.executeLine("$J=G91 z1 F60", t0), std::vector<std::string>{"error:8"});

    auto snap = model.snapshot(t0 + 3s);
    EXPECT_EQ(snap.state, MachineState::Run);
    EXPECT_NEAR(snap.positions[0], 3.0, 1e-9);
    EXPECT_NEAR(snap.positions[1], 0.0, 1e-9);
    snap = model.snapshot(t0 + 8s);
    EXPECT_EQ(snap.state, MachineState::Idle);
    EXPECT_EQ(snap.positions[1], 4.0);
}

TEST(SimModel, FailedHomingPrintsAnAlarmAndJogCancelStopsOnlyJogs) {
    const Clock::time_point t0{};
    MachineModel model("uuid", t0);
    model.setHomingDuration(100ms);
    model.setHomingFails(true);
    ASSERT_EQ(model.executeLine("$H", t0), std::vector<std::string>{"ok"});
    EXPECT_EQ(model.snapshot(t0 + 50ms).state, MachineState::Home);
    EXPECT_EQ(model.snapshot(t0 + 150ms).state, MachineState::Alarm);
    EXPECT_EQ(model.takeUnsolicited(), std::vector<std::string>{"ALARM:6"});

    ASSERT_EQ(model.executeLine("$X", t0 + 150ms), std::vector<std::string>{"ok"});
    ASSERT_EQ(model.executeLine("$J=G91 x100 F600", t0 + 150ms), std::vector<std::string>{"ok"});
    model.executeRealtime(0x85, t0 + 1150ms);
    const auto snap = model.snapshot(t0 + 5s);
    EXPECT_EQ(snap.state, MachineState::Idle);
    EXPECT_NEAR(snap.positions[0], 10.1, 1e-9);  // with its deceleration
}

}  // namespace
