// End to end against the simulator as real controllers behave: lines read a moment after
// they arrive while real-time bytes act at once, jogs queued behind the running one, a hold
// that ends a jog, an extra "ok" for the empty line between CR and LF, and homing that
// answers no status query until the cycle ends. Each case is a fault seen on a real
// machine: a machine moving after the host asked it to stop, or a wrong result.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <thread>

#include "korvane/korvane.h"
#include "simulator.h"
#include "support/sim_session.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using Clock = std::chrono::steady_clock;

class RealController : public test::SimSession {
  protected:
    // Waits until the simulated machine rests, then reports whether it stays put.
    bool machineRests() {
        if (!eventually([&] { return sim_->state() == sim::MachineState::Idle; })) return false;
        const auto before = sim_->positions();
        std::this_thread::sleep_for(100ms);
        return sim_->positions() == before && sim_->state() == sim::MachineState::Idle;
    }
};

// A stop a few milliseconds after the start once overtook the jog line still waiting in the
// controller's input: the cancel did nothing and the line then ran its twenty seconds.
TEST_F(RealController, StopRightAfterTheStartLeavesNoJogRunning) {
    connect();
    std::minstd_rand random(7);
    const std::size_t cancelsBefore = sim_->realtimeCount(0x85);
    for (int i = 0; i < 30; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(Korvane_VelocityStart(handle_, 0, 600.0f), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 6));
        // A stop that came before the worker's line needs no cancel; one after it cancels,
        // and returns only once a report shows rest with every jog line answered.
        ASSERT_EQ(Korvane_VelocityStop(handle_), 0) << lastError();
        // A line still waiting in the input would be read within the parse delay.
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(sim_->jogsSinceLastCancel(), 0u) << "a jog ran after the last cancel";
        ASSERT_TRUE(machineRests());
    }
    // Most stops came after the worker's line: the race with the line in the input was run.
    EXPECT_GT(sim_->realtimeCount(0x85), cancelsBefore);
}

// The controller queues a new jog line behind the running one: without a cancel first, a
// reversal would wait for the end of the twenty-second jog.
TEST_F(RealController, ReversalTakesEffect) {
    connect();
    ASSERT_EQ(Korvane_VelocityStart(handle_, 0, 600.0f), 0);
    ASSERT_TRUE(eventually([&] { return position(0) > 1.0f; }));
    ASSERT_EQ(Korvane_VelocityStart(handle_, 0, -600.0f), 0);
    const float turning = position(0);
    EXPECT_TRUE(eventually([&] { return position(0) < turning - 1.0f; }, 1500ms));
    ASSERT_EQ(Korvane_VelocityStop(handle_), 0);
    EXPECT_TRUE(machineRests());
}

// A hold ends the controller's jog. The worker must not take the Idle that follows for the
// end of its jog and start the axis again.
TEST_F(RealController, FeedHoldInVelocityModeHolds) {
    connect();
    ASSERT_EQ(Korvane_VelocityStart(handle_, 1, 600.0f), 0);
    ASSERT_TRUE(eventually([&] { return position(1) > 1.0f; }));
    ASSERT_EQ(Korvane_FeedHold(handle_), 0);
    ASSERT_TRUE(reachesState(KORVANE_STATE_IDLE));
    const float held = position(1);
    const auto until = Clock::now() + 1500ms;
    while (Clock::now() < until) {  // the host keeps polling, as velocity mode needs
        EXPECT_EQ(state(), KORVANE_STATE_IDLE);
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(position(1), held);
    EXPECT_EQ(Korvane_Resume(handle_), 0);
    EXPECT_TRUE(machineRests());
}

// A controller that answers the empty line between CR and LF with its own "ok": after a
// refusal that "ok" comes late and once passed for the next command's acceptance.
TEST_F(RealController, ARefusalIsNeverTakenForTheNextCommandsAcceptance) {
    sim::SimOptions options;
    options.okOnEmptyLine = true;
    connect(options);
    ASSERT_EQ(Korvane_SetSoftLimitRange(handle_, 0, 100.0f, 0.0f), 0) << lastError();
    ASSERT_EQ(Korvane_EnableSoftLimits(handle_, 0, 1), 0) << lastError();
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Korvane_JogAbs(handle_, 0, -500.0f, 600.0f), KORVANE_FIRMWARE_ERROR);
        EXPECT_EQ(Korvane_JogAbs(handle_, 0, 500.0f, 600.0f), KORVANE_FIRMWARE_ERROR);
    }
    EXPECT_EQ(state(), KORVANE_STATE_IDLE) << lastError();
    EXPECT_EQ(Korvane_SetPos(handle_, 0, 5.0f), 0) << lastError();
    EXPECT_EQ(sim_->positions()[0], 5.0);
}

// Replies late by a quarter of a second: homing's last polls are answered after it has
// returned, and those reports once settled the next command, a refused jog included.
TEST_F(RealController, AStaleReportSettlesNoCommand) {
    sim::SimOptions options;
    options.homingDurationMs = 1000;
    connect(options);
    ASSERT_EQ(Korvane_SetSoftLimitRange(handle_, 0, 100.0f, 0.0f), 0) << lastError();
    ASSERT_EQ(Korvane_EnableSoftLimits(handle_, 0, 1), 0) << lastError();
    sim_->setReplyLatencyMs(250);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(Korvane_Home(handle_, KORVANE_AXIS_ALL), 0) << lastError();
        EXPECT_EQ(Korvane_JogAbs(handle_, 0, -500.0f, 600.0f), KORVANE_FIRMWARE_ERROR);
        EXPECT_EQ(
            lastError(),
            "Firmware error: error:15 (the jog would travel outside the machine's soft limits)");
    }
}

// A controller that answers no status query while homing sends one Home report when the
// cycle ends; on a slow line that report straddles the end of a reading window.
TEST_F(RealController, QuietHomingIsSeenToEndOnASlowLine) {
    sim::SimOptions options;
    options.quietHoming = true;
    options.homingDurationMs = 800;
    options.outputBytesPerSecond = 240;  // a report takes longer than a homing window
    connect(options);
    const auto start = Clock::now();
    EXPECT_EQ(Korvane_Home(handle_, 2), 0) << lastError();
    EXPECT_LT(Clock::now() - start, 10s);
}

// ...and tells of a failed cycle only by an "ALARM:" line and Alarm reports.
TEST_F(RealController, QuietHomingFailureEndsTheWaitAtOnce) {
    sim::SimOptions options;
    options.quietHoming = true;
    options.homingFails = true;
    connect(options);
    const auto start = Clock::now();
    EXPECT_EQ(Korvane_Home(handle_, KORVANE_AXIS_ALL), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(lastError(),
              "Homing failed: alarm state: ALARM:6 (homing failed: the cycle was reset)");
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(state(), KORVANE_STATE_ALARM);
}

}  // namespace
}  // namespace korvane
