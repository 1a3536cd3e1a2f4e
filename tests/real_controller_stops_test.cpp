// Stops, holds and replies against the simulator set up as particular controllers behave:
// long decelerations during which no line is read, a deaf spell after a late jog cancel, an
// emergency-stop line that some controllers do not know, a hold that leaves a jog alone,
// latched errors, replies late enough to overtake the next command, and a boot time. Each
// case is a fault seen on a real machine: it moved after the host asked it to stop, a stop
// waited behind a homing cycle, or a refusal was reported as success.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "korvane/korvane.h"
#include "platform/deadline.h"
#include "simulator.h"
#include "support/sim_session.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using test::eventually;
using Clock = std::chrono::steady_clock;
using sim::MachineState;

class RealControllerStops : public test::SimSession {
  protected:
    // The machine stands (Idle or Alarm) and does not move for `window`: whatever the host
    // left behind would show within it.
    ::testing::AssertionResult staysAtRest(std::chrono::milliseconds window = 500ms) {
        const auto start = sim_->positions();
        const auto until = Clock::now() + window;
        while (Clock::now() < until) {
            const MachineState now = sim_->state();
            if (now != MachineState::Idle && now != MachineState::Alarm) {
                return ::testing::AssertionFailure() << "state " << sim::stateWord(now);
            }
            if (sim_->positions() != start) return ::testing::AssertionFailure() << "it moved";
            std::this_thread::sleep_for(20ms);
        }
        return ::testing::AssertionSuccess();
    }

    // After a velocity stop has returned: the machine was seen at rest, and once any motion
    // left over has ended, no jog line was taken after the last cancel and nothing moves.
    void expectNoJogAfterTheStop() {
        EXPECT_EQ(sim_->state(), MachineState::Idle)
            << "the stop returned before the machine stood";
        ASSERT_TRUE(eventually([&] { return sim_->state() != MachineState::Jog; }, 5000ms));
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(sim_->jogsSinceLastCancel(), 0u) << "a jog line ran after the stop";
        EXPECT_TRUE(staysAtRest());
    }

    // The machine comes to a stop within `limit` and then stays there.
    ::testing::AssertionResult comesToRest(std::chrono::milliseconds limit) {
        const bool still = eventually(
            [&] {
                const auto before = sim_->positions();
                std::this_thread::sleep_for(60ms);
                return sim_->positions() == before && sim_->state() != MachineState::Jog &&
                       sim_->state() != MachineState::Run;
            },
            limit);
        if (!still) return ::testing::AssertionFailure() << "still moving";
        return staysAtRest(300ms);
    }

    void waitUntilJogging() {
        ASSERT_TRUE(eventually([&] { return sim_->state() == MachineState::Jog; }));
    }

    // A slow deceleration on x: 1000/min takes about 1.7 s to stop at 10 units/s^2.
    void slowDecelerationOnX() {
        ASSERT_EQ(Korvane_SetAcceleration(handle_, 0, 10.0f), 0) << lastError();
    }

    // Soft limits of x between 0 and 100; the machine stands at 0.
    void softLimitsOnX() {
        ASSERT_EQ(Korvane_SetSoftLimitRange(handle_, 0, 100.0f, 0.0f), 0) << lastError();
        ASSERT_EQ(Korvane_EnableSoftLimits(handle_, 0, 1), 0) << lastError();
    }

    // Whether velocity mode still runs, asked without any traffic: an invalid axis is refused
    // with 6 in velocity mode, else with 8.
    bool velocityModeRuns() { return Korvane_JogRel(handle_, 99, 1.0f, 600.0f) == 6; }
};

// --- Velocity stops after a long deceleration ---------------------------------------------
// The controller reads no line while it slows down. A stop that returned at once, while the
// machine still slowed down, let a jog line (a reversal's, a restart's) wait unread in its
// input, and the machine ran it once it stood.

TEST_F(RealControllerStops, StopAfterALongDecelerationLeavesNoJogBehind) {
    connect();
    slowDecelerationOnX();
    ASSERT_EQ(Korvane_VelocityStart(handle_, 0, 1000.0f), 0);
    waitUntilJogging();
    ASSERT_EQ(Korvane_VelocityStop(handle_), 0) << lastError();
    expectNoJogAfterTheStop();
}

TEST_F(RealControllerStops, ReversalThenStopLeavesNoJogBehind) {
    connect();
    slowDecelerationOnX();
    // Stopped while the reversal still slows down, and once the reversed jog runs.
    for (const bool reversedJogRuns : {false, true}) {
        SCOPED_TRACE(reversedJogRuns ? "reversed jog runs" : "during the deceleration");
        ASSERT_EQ(Korvane_VelocityStart(handle_, 0, 1000.0f), 0);
        waitUntilJogging();
        std::this_thread::sleep_for(200ms);
        ASSERT_EQ(Korvane_VelocityStart(handle_, 0, -1000.0f), 0);
        if (reversedJogRuns) {
            const float turning = position(0);
            ASSERT_TRUE(eventually([&] { return position(0) < turning - 0.5f; }, 8000ms));
        } else {
            std::this_thread::sleep_for(500ms);
        }
        ASSERT_EQ(Korvane_VelocityStop(handle_), 0) << lastError();
        expectNoJogAfterTheStop();
    }
}

TEST_F(RealControllerStops, StopThenAtOnceAStartOnAnotherAxisLeavesNoJogOnTheFirst) {
    connect();
    slowDecelerationOnX();
    ASSERT_EQ(Korvane_VelocityStart(handle_, 0, 1000.0f), 0);
    waitUntilJogging();
    ASSERT_EQ(Korvane_VelocityStop(handle_), 0) << lastError();
    const double xStopped = sim_->positions()[0];
    ASSERT_EQ(Korvane_VelocityStart(handle_, 1, 600.0f), 0);
    ASSERT_TRUE(eventually([&] { return sim_->positions()[1] > 1.0; }, 5000ms));
    ASSERT_EQ(Korvane_VelocityStop(handle_), 0) << lastError();
    expectNoJogAfterTheStop();
    EXPECT_EQ(sim_->positions()[0], xStopped) << "x moved after its stop had returned";
}

// --- No blind second cancel -----------------------------------------------------------------
// A second cancel at the end of a deceleration leaves some controllers Idle but deaf to
// lines; a later resume then ran the jog line that had waited in their input.

TEST_F(RealControllerStops, ManyStartsAndStopsNeverLeaveTheControllerDeaf) {
    sim::SimOptions options;
    options.deafAfterLateCancel = true;
    connect(options);
    // 1000/min takes about 0.55 s to stop at 30 units/s^2: stops land at every point of a
    // start, the deceleration of the stop before it included.
    ASSERT_EQ(Korvane_SetAcceleration(handle_, 0, 30.0f), 0) << lastError();
    for (int i = 0; i < 10; ++i) {
        SCOPED_TRACE(i);
        ASSERT_EQ(Korvane_VelocityStart(handle_, 0, 1000.0f), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(i * 97));
        const int stopped = Korvane_VelocityStop(handle_);
        EXPECT_EQ(stopped, 0) << lastError();
        // Deaf, the controller keeps the worker's last line unread: the resume below runs it.
        EXPECT_FALSE(sim_->deaf());
        if (sim_->deaf()) break;
    }
    const std::size_t linesBefore = sim_->receivedLines().size();
    ASSERT_EQ(Korvane_Resume(handle_), 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sim_->jogsSinceLastCancel(), 0u) << "the resume ran a jog line";
    EXPECT_TRUE(staysAtRest());
    EXPECT_EQ(sim_->unreadLines(), 0u);
    EXPECT_EQ(sim_->receivedLines().size(), linesBefore);
}

// --- Feed hold with a stale status cache ----------------------------------------------------
// The hold was skipped when the last report seen showed Idle, even when that report was
// taken before the motion now under way.

TEST_F(RealControllerStops, FeedHoldDuringHomingIsWritten) {
    sim::SimOptions options;
    options.homingDurationMs = 3000;
    connect(options);
    auto homing = std::async(std::launch::async, [&] { return Korvane_Home(handle_, 0); });
    std::this_thread::sleep_for(1s);
    const std::size_t holdsBefore = sim_->realtimeCount('!');
    ASSERT_EQ(Korvane_FeedHold(handle_), 0) << lastError();
    EXPECT_EQ(sim_->state(), MachineState::Home) << "the hold waited for the cycle";
    EXPECT_TRUE(eventually([&] { return sim_->realtimeCount('!') == holdsBefore + 1; }, 1000ms));
    EXPECT_EQ(homing.get(), 0) << lastError();
}

TEST_F(RealControllerStops, FeedHoldAfterAJogWhoseReportWasLostIsWrittenAndStopsIt) {
    connect();
    // Every second reply is left out. Status queries find the phase: after one whose report
    // was dropped, the jog's "ok" gets through and the report after it does not.
    sim_->setDropEveryNthReply(2);
    std::int32_t state = 0;
    bool dropped = Korvane_GetState(handle_, &state) == KORVANE_TIMEOUT;
    if (!dropped) dropped = Korvane_GetState(handle_, &state) == KORVANE_TIMEOUT;
    ASSERT_TRUE(dropped);
    EXPECT_EQ(Korvane_JogRel(handle_, 0, 50.0f, 600.0f), KORVANE_TIMEOUT);
    sim_->setDropEveryNthReply(0);
    ASSERT_TRUE(eventually([&] { return sim_->positions()[0] > 1.0; }));

    const std::size_t holdsBefore = sim_->realtimeCount('!');
    ASSERT_EQ(Korvane_FeedHold(handle_), 0) << lastError();
    EXPECT_TRUE(eventually([&] { return sim_->realtimeCount('!') == holdsBefore + 1; }, 1000ms));
    EXPECT_TRUE(comesToRest(3000ms));
    EXPECT_LT(sim_->positions()[0], 40.0);
}

// --- Stops do not queue behind other calls --------------------------------------------------

TEST_F(RealControllerStops, EmergencyStopDuringHomingDoesNotWaitForTheCycle) {
    sim::SimOptions options;
    options.homingDurationMs = 8000;
    connect(options);
    auto homing = std::async(std::launch::async, [&] { return Korvane_Home(handle_, -1); });
    ASSERT_TRUE(eventually([&] { return sim_->state() == MachineState::Home; }));
    std::this_thread::sleep_for(1s);

    const std::size_t holdsBefore = sim_->realtimeCount('!');
    const auto called = Clock::now();
    auto stop = std::async(std::launch::async, [&] { return Korvane_EmergencyStop(handle_); });
    EXPECT_TRUE(eventually([&] { return sim_->realtimeCount('!') > holdsBefore; }, 1000ms))
        << "the stop bytes waited behind the homing cycle";
    ASSERT_EQ(stop.wait_for(10s), std::future_status::ready);
    EXPECT_LT(Clock::now() - called, 4s);
    EXPECT_EQ(stop.get(), 0);
    homing.wait();
}

TEST_F(RealControllerStops, StatusQueryDuringHomingIsAnswered) {
    sim::SimOptions options;
    options.homingDurationMs = 3000;
    connect(options);
    auto homing = std::async(std::launch::async, [&] { return Korvane_Home(handle_, -1); });
    ASSERT_TRUE(eventually([&] { return sim_->state() == MachineState::Home; }));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(state(), KORVANE_STATE_HOME);
    EXPECT_EQ(homing.get(), 0);
}

// --- Emergency stop on every controller of the family ---------------------------------------
// "$ES" alone stops only the controllers that know it: others refuse it, or list their
// settings, and the machine went on.

enum class EsHabit { Unknown, ListsSettings };
enum class Motion { Jog, Velocity };

class EmergencyStopEverywhere : public RealControllerStops,
                                public ::testing::WithParamInterface<std::tuple<EsHabit, Motion>> {
};

TEST_P(EmergencyStopEverywhere, StopsTheMachine) {
    const auto [habit, motion] = GetParam();
    sim::SimOptions options;
    options.esUnknown = habit == EsHabit::Unknown;
    options.esListsSettings = habit == EsHabit::ListsSettings;
    connect(options);
    if (motion == Motion::Jog) {
        ASSERT_EQ(Korvane_JogRel(handle_, 0, 50.0f, 600.0f), 0) << lastError();
    } else {
        ASSERT_EQ(Korvane_VelocityStart(handle_, 0, 600.0f), 0);
    }
    ASSERT_TRUE(eventually([&] { return sim_->positions()[0] > 1.0; }));
    EXPECT_EQ(Korvane_EmergencyStop(handle_), 0) << lastError();
    EXPECT_TRUE(comesToRest(2000ms));
    EXPECT_LT(sim_->positions()[0], 40.0);
    const std::int32_t after = state();
    EXPECT_TRUE(after == KORVANE_STATE_IDLE || after == KORVANE_STATE_ALARM) << after;
}

std::string habitName(const ::testing::TestParamInfo<std::tuple<EsHabit, Motion>>& param) {
    const auto [habit, motion] = param.param;
    return std::string(habit == EsHabit::Unknown ? "EsUnknown" : "EsListsSettings") +
           (motion == Motion::Jog ? "Jog" : "Velocity");
}

INSTANTIATE_TEST_SUITE_P(Habits, EmergencyStopEverywhere,
                         ::testing::Combine(::testing::Values(EsHabit::Unknown,
                                                              EsHabit::ListsSettings),
                                            ::testing::Values(Motion::Jog, Motion::Velocity)),
                         habitName);

TEST_F(RealControllerStops, EmergencyStopEndsInAlarmWhereTheLineIsKnown) {
    connect();
    ASSERT_EQ(Korvane_JogRel(handle_, 0, 50.0f, 600.0f), 0) << lastError();
    ASSERT_TRUE(eventually([&] { return sim_->positions()[0] > 1.0; }));
    EXPECT_EQ(Korvane_EmergencyStop(handle_), 0) << lastError();
    EXPECT_TRUE(comesToRest(2000ms));
    EXPECT_EQ(state(), KORVANE_STATE_ALARM);
}

// --- A refused velocity line ---------------------------------------------------------------
// The worker's jog of twenty seconds of travel crosses a soft limit: the controller refuses
// it, and the host was told nothing.

TEST_F(RealControllerStops, RefusedVelocityLineIsReportedByTheStop) {
    connect();
    softLimitsOnX();
    ASSERT_EQ(Korvane_VelocityStart(handle_, 0, 600.0f), 0);
    ASSERT_TRUE(eventually([&] { return !velocityModeRuns(); }));
    EXPECT_EQ(Korvane_VelocityStop(handle_), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(lastError(),
              "Firmware error: error:15 (the jog would travel outside the machine's soft limits)");
    EXPECT_TRUE(staysAtRest(200ms));
}

TEST_F(RealControllerStops, RefusedVelocityLineIsReportedByTheNextStart) {
    connect();
    softLimitsOnX();
    ASSERT_EQ(Korvane_VelocityStart(handle_, 0, 600.0f), 0);
    ASSERT_TRUE(eventually([&] { return !velocityModeRuns(); }));
    const std::size_t linesBefore = sim_->receivedLines().size();
    EXPECT_EQ(Korvane_VelocityStart(handle_, 0, 600.0f), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(lastError(),
              "Firmware error: error:15 (the jog would travel outside the machine's soft limits)");
    // That start started nothing.
    EXPECT_FALSE(velocityModeRuns());
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(sim_->receivedLines().size(), linesBefore);
    EXPECT_EQ(Korvane_VelocityStop(handle_), 0) << lastError();
}

// --- A hold that a jog ignores -------------------------------------------------------------

TEST_F(RealControllerStops, FeedHoldEndsAJogWhereTheHoldAloneWouldNot) {
    sim::SimOptions options;
    options.holdIgnoredWhileJogging = true;
    connect(options);
    ASSERT_EQ(Korvane_JogRel(handle_, 0, 50.0f, 600.0f), 0) << lastError();
    ASSERT_TRUE(eventually([&] { return sim_->positions()[0] > 1.0; }));
    ASSERT_EQ(Korvane_FeedHold(handle_), 0) << lastError();
    EXPECT_TRUE(comesToRest(2000ms));
    EXPECT_LT(sim_->positions()[0], 40.0);
}

// --- Time left on a wrapping tick count -----------------------------------------------------
// A reply wait tested its limit at one tick count and took the difference at a later one:
// a limit passed in between left about 49 days to wait.

TEST(RemainingMs, IsZeroOnceTheLimitHasPassedEvenWhenTakenLate) {
    constexpr std::uint32_t kLimit = 500;
    for (const std::uint32_t start : {0u, 1000u, std::numeric_limits<std::uint32_t>::max() - 200u,
                                      std::numeric_limits<std::uint32_t>::max()}) {
        SCOPED_TRACE(start);
        EXPECT_EQ(remainingMs(start, kLimit, start), kLimit);
        EXPECT_EQ(remainingMs(start, kLimit, start + 100u), 400u);  // wraps for the late starts
        EXPECT_EQ(remainingMs(start, kLimit, start + kLimit - 1u), 1u);
        EXPECT_EQ(remainingMs(start, kLimit, start + kLimit), 0u);
        // The test said "1 ms left" a tick before, and the thread was then held up: the
        // difference is taken after the limit had passed.
        for (const std::uint32_t late : {1u, 3u, 250u, 70000u}) {
            EXPECT_EQ(remainingMs(start, kLimit, start + kLimit + late), 0u) << late;
        }
    }
    EXPECT_EQ(remainingMs(7u, 0u, 7u), 0u);
}

TEST(RemainingMs, NeverGrowsAndNeverExceedsTheLimitAcrossTheWrap) {
    constexpr std::uint32_t kLimit = 500;
    const std::uint32_t start = std::numeric_limits<std::uint32_t>::max() - 700u;
    std::uint32_t before = kLimit;
    for (std::uint32_t spent = 0; spent < 3 * kLimit; ++spent) {
        const std::uint32_t left = remainingMs(start, kLimit, start + spent);
        ASSERT_LE(left, before) << spent;
        before = left;
    }
    EXPECT_EQ(before, 0u);
}

// --- Replies that overtake the next command -------------------------------------------------

TEST_F(RealControllerStops, RefusalsStayRefusalsWithSlowEmptyLineReplies) {
    sim::SimOptions options;
    options.okOnEmptyLine = true;
    connect(options);
    softLimitsOnX();
    sim_->setLineParseDelayMs(150);
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Korvane_JogAbs(handle_, 0, -500.0f, 600.0f), KORVANE_FIRMWARE_ERROR);
        EXPECT_EQ(Korvane_JogAbs(handle_, 0, 500.0f, 600.0f), KORVANE_FIRMWARE_ERROR);
    }
    EXPECT_EQ(sim_->positions()[0], 0.0);
}

TEST_F(RealControllerStops, ALateOkIsNotTakenForTheNextCommand) {
    sim::SimOptions options;
    options.okOnEmptyLine = true;
    connect(options);
    softLimitsOnX();
    sim_->setLineParseDelayMs(700);
    EXPECT_EQ(Korvane_JogRel(handle_, 0, 1.0f, 600.0f), KORVANE_TIMEOUT);
    const std::int32_t refused = Korvane_JogAbs(handle_, 0, 500.0f, 600.0f);
    EXPECT_TRUE(refused == KORVANE_FIRMWARE_ERROR || refused == KORVANE_TIMEOUT)
        << refused << " " << lastError();
    // Once the replies are prompt again, the account is in step.
    sim_->setLineParseDelayMs(5);
    EXPECT_TRUE(eventually([&] { return sim_->unreadLines() == 0; }));
    EXPECT_EQ(Korvane_JogAbs(handle_, 0, 500.0f, 600.0f), KORVANE_FIRMWARE_ERROR) << lastError();
    EXPECT_EQ(lastError(),
              "Firmware error: error:15 (the jog would travel outside the machine's soft limits)");
}

TEST_F(RealControllerStops, AValidJogAfterARefusalIsAcceptedWhereErrorsLatch) {
    sim::SimOptions options;
    options.latchErrors = true;
    connect(options);
    softLimitsOnX();
    EXPECT_EQ(Korvane_JogAbs(handle_, 0, 500.0f, 600.0f), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(Korvane_JogRel(handle_, 0, 2.0f, 600.0f), 0) << lastError();
    EXPECT_TRUE(eventually([&] { return sim_->positions()[0] == 2.0; }));
}

// --- A controller that boots when the port opens --------------------------------------------

TEST(RealControllerBoot, ConnectWaitsForABootingController) {
    sim::SimOptions options;
    options.bootMs = 1000;
    sim::Simulator simulator(options);
    ASSERT_TRUE(simulator.start()) << simulator.error();
    DeviceHandle raw = nullptr;
    ASSERT_EQ(Korvane_Connect(simulator.devicePathWide().c_str(), 115200, &raw), 0);
    const std::unique_ptr<KorvaneDevice, decltype(&Korvane_Disconnect)> handle(raw,
                                                                               Korvane_Disconnect);
    std::int32_t state = 0;
    EXPECT_EQ(Korvane_GetState(raw, &state), 0) << Korvane_GetLastError(raw);
    EXPECT_EQ(state, KORVANE_STATE_IDLE);
}

}  // namespace
}  // namespace korvane
