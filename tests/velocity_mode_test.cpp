// Velocity mode: the jog line it re-issues, and the worker driven through the exports over a
// real pty.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "korvane/korvane.h"
#include "support/connected_controller.h"
#include "support/refusal.h"
#include "support/scripted_controller.h"
#include "velocity/jog_line.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;
using test::ScriptedController;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr char kLine600[] = "$J=G91 x200.000 F600";
constexpr char kLineMinus600[] = "$J=G91 x-200.000 F600";

// --- The jog line ------------------------------------------------------------------------

struct JogLineCase {
    std::int32_t axis;
    float velocity;
    const char* line;
};

class JogLine : public ::testing::TestWithParam<JogLineCase> {};

TEST_P(JogLine, IsTwentySecondsOfTravelWithinBounds) {
    char line[kJogLineSize];
    composeJogLine(GetParam().axis, GetParam().velocity, line);
    EXPECT_STREQ(line, GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(Table, JogLine,
                         ::testing::Values(JogLineCase{0, 600.0f, "$J=G91 x200.000 F600"},
                                           JogLineCase{2, -45.0f, "$J=G91 z-15.000 F45"},
                                           JogLineCase{5, 100.0f, "$J=G91 c33.333 F100"},
                                           JogLineCase{0, 0.5f, "$J=G91 x1.000 F1"},
                                           JogLineCase{0, 2.5f, "$J=G91 x1.000 F2"},
                                           JogLineCase{3, -0.1f, "$J=G91 a-1.000 F1"},
                                           JogLineCase{0, -1500.5f, "$J=G91 x-500.167 F1500"},
                                           JogLineCase{0, 8999.9f, "$J=G91 x2999.967 F8999"},
                                           JogLineCase{1, 12000.0f, "$J=G91 y3000.000 F12000"},
                                           JogLineCase{4, -2147483520.0f,
                                                       "$J=G91 b-3000.000 F2147483520"}),
                         [](const ::testing::TestParamInfo<JogLineCase>& param) {
                             std::string name = param.param.line + 7;  // after "$J=G91 "
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// --- The worker over a pty ---------------------------------------------------------------

bool isJogLine(const test::Input& in) {
    return !in.realtime && in.line.rfind("$J=", 0) == 0;
}

class VelocityMode : public test::ConnectedController {
  protected:
    // Homing with an invalid axis is refused with 6 exactly while velocity mode is active,
    // and writes nothing either way.
    bool velocityActive() { return Korvane_Home(handle, 6) == KORVANE_VELOCITY_ACTIVE; }

    bool waitUntilInactive() {
        const test::Clock::time_point start = test::Clock::now();
        while (velocityActive()) {
            if (test::Clock::now() - start > 2s) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }

    // The inputs so far: "?", "!", "~" for real-time bytes, "0x85" for the jog cancel, lines
    // as they are.
    std::vector<std::string> inputs() const {
        std::vector<std::string> out;
        for (const test::Input& in : controller.inputs()) {
            if (in.is(test::kJogCancel)) {
                out.push_back("0x85");
            } else {
                out.push_back(in.realtime ? std::string(1, in.byte) : in.line);
            }
        }
        return out;
    }

    // The inputs up to a resume byte written now: everything the calls before it wrote.
    std::vector<std::string> inputsBeforeFence() {
        EXPECT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
        EXPECT_TRUE(controller.waitForRealtime('~'));
        std::vector<std::string> out = inputs();
        out.erase(std::find(out.begin(), out.end(), "~"), out.end());
        return out;
    }

    // The inputs without the status queries, whose number depends on how soon the replies
    // come: a stop polls until the machine is seen at rest. A jog cancel must still be
    // followed at once by its own query, which tells what the controller did after it.
    std::vector<std::string> withoutQueries(const std::vector<std::string>& all) const {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (all[i] == "?") continue;
            if (all[i] == "0x85") {
                EXPECT_TRUE(i + 1 < all.size() && all[i + 1] == "?") << "a cancel at " << i;
            }
            out.push_back(all[i]);
        }
        return out;
    }

    // Reports from a stop's last polls may still wait in the port, and a query takes the
    // first report it finds: query until the new state shows.
    void showState(const std::string& report, std::int32_t expected) {
        controller.respond(nullptr);
        controller.answerQueries(report + "\r\n");
        std::int32_t state = KORVANE_STATE_UNKNOWN;
        for (int i = 0; i < 10 && state != expected; ++i) {
            ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
        }
        ASSERT_EQ(state, expected);
    }

    // A controller that reports `report` until a jog cancel arrives, and Idle from then on:
    // the cancel ends a jog, and a hold with it.
    void reportUntilCancelled(const std::string& report) {
        auto cancelled = std::make_shared<std::atomic<bool>>(false);
        controller.respond([cancelled, report](const test::Input& in) {
            if (in.is(test::kJogCancel)) *cancelled = true;
            if (in.is('?')) return test::reply((*cancelled ? "<Idle>" : report) + "\r\n");
            return in.realtime ? test::Script{} : test::reply("ok\r\n");
        });
    }

    std::vector<test::Input> jogLines() const {
        std::vector<test::Input> out;
        for (const test::Input& in : controller.inputs()) {
            if (isJogLine(in)) out.push_back(in);
        }
        return out;
    }
};

using Inputs = std::vector<std::string>;

struct StateCase {
    const char* report;
    std::int32_t state;
};

TEST_F(VelocityMode, NullHandle) {
    EXPECT_EQ(Korvane_VelocityStart(nullptr, 0, 600.0f), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_VelocityStop(nullptr), KORVANE_INVALID_HANDLE);
}

TEST_F(VelocityMode, RefusedStartsChangeNothing) {
    using test::refused;
    for (std::int32_t axis : {6, -1}) {
        EXPECT_TRUE(refused(handle, Korvane_VelocityStart(handle, axis, 600.0f), "axis",
                            std::to_string(axis)));
    }
    // NaN, infinity and magnitudes without a 32-bit feed word are refused like tiny ones.
    const std::pair<float, const char*> velocities[] = {
        {0.05f, "0.05"}, {-0.05f, "-0.05"}, {0.0999f, "0.0999"}, {0.0f, "0"},
        {kNaN, "nan"},   {kInf, "inf"},     {-kInf, "-inf"}};
    for (const auto& [v, shown] : velocities) {
        EXPECT_TRUE(refused(handle, Korvane_VelocityStart(handle, 0, v), "velocity", shown)) << v;
    }
    for (float v : {2147483648.0f, -2147483648.0f}) {
        EXPECT_EQ(Korvane_VelocityStart(handle, 0, v), KORVANE_INVALID_ARGUMENT) << v;
    }
    EXPECT_FALSE(velocityActive());

    // Refused while running: the worker keeps its axis and its target.
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLine600));
    EXPECT_EQ(Korvane_VelocityStart(handle, 6, 600.0f), KORVANE_INVALID_ARGUMENT);
    EXPECT_EQ(Korvane_VelocityStart(handle, 0, 0.05f), KORVANE_INVALID_ARGUMENT);
    EXPECT_EQ(Korvane_VelocityStart(handle, 0, -0.05f), KORVANE_INVALID_ARGUMENT);
    EXPECT_EQ(Korvane_VelocityStart(handle, 0, kNaN), KORVANE_INVALID_ARGUMENT);
    std::this_thread::sleep_for(350ms);
    EXPECT_TRUE(velocityActive());
    EXPECT_EQ(inputs(), Inputs{kLine600});
}

TEST_F(VelocityMode, SmallestVelocitiesGiveTheShortestJog) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 0.1f), KORVANE_SUCCESS);
    EXPECT_TRUE(controller.waitForLine("$J=G91 x1.000 F1", 1000ms)) << "the first line at once";
    ASSERT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, -0.1f), KORVANE_SUCCESS);
    EXPECT_TRUE(controller.waitForLine("$J=G91 x-1.000 F1", 1000ms));
    ASSERT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    EXPECT_EQ(withoutQueries(inputsBeforeFence()),
              (Inputs{"$J=G91 x1.000 F1", "0x85", "$J=G91 x-1.000 F1", "0x85"}));
}

TEST_F(VelocityMode, AlarmSleepOrDoorAtTheStartEndTheWorkerSilently) {
    const StateCase cases[] = {{"<Alarm:1>", KORVANE_STATE_ALARM},
                               {"<Sleep>", KORVANE_STATE_SLEEP},
                               {"<Door:0>", KORVANE_STATE_DOOR}};
    for (const auto& [report, state] : cases) {
        SCOPED_TRACE(report);
        cacheState(report, state);
        controller.clear();
        ASSERT_EQ(Korvane_VelocityStart(handle, 1, 600.0f), KORVANE_SUCCESS);
        EXPECT_TRUE(waitUntilInactive());
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(controller.received(), "");
        // No line was written and the last report showed no jog: there is nothing to cancel,
        // and a needless cancel could hit the end of some other deceleration.
        EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
        EXPECT_EQ(inputsBeforeFence(), Inputs{});
    }
}

TEST_F(VelocityMode, AlarmWhileRunningEndsTheWorkerUntilANewStart) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLine600));
    cacheState("<Alarm:2>", KORVANE_STATE_ALARM);
    EXPECT_TRUE(waitUntilInactive());
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(inputs(), (Inputs{kLine600, "?"}));

    // A new start replaces the ended worker with a fresh one. The Alarm report came after the
    // old line was answered, so it ended that jog: no cancel before the new line.
    cacheState("<Idle>", KORVANE_STATE_IDLE);
    ASSERT_EQ(Korvane_VelocityStart(handle, 1, -300.0f), KORVANE_SUCCESS);
    EXPECT_TRUE(controller.waitForLine("$J=G91 y-100.000 F300"));
    EXPECT_TRUE(velocityActive());
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    EXPECT_EQ(withoutQueries(inputsBeforeFence()),
              (Inputs{kLine600, "$J=G91 y-100.000 F300", "0x85"}));
}

TEST_F(VelocityMode, HoldHomeAndCheckDoNotEndIt) {
    const StateCase cases[] = {{"<Hold:0>", KORVANE_STATE_HOLD},
                               {"<Home>", KORVANE_STATE_HOME},
                               {"<Check>", KORVANE_STATE_CHECK}};
    for (const auto& [report, state] : cases) {
        SCOPED_TRACE(report);
        showState(report, state);
        reportUntilCancelled(report);
        controller.clear();
        ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
        EXPECT_TRUE(controller.waitForLine(kLine600, 1000ms));
        std::this_thread::sleep_for(300ms);
        EXPECT_TRUE(velocityActive());
        EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS) << Korvane_GetLastError(handle);
        EXPECT_EQ(withoutQueries(inputsBeforeFence()), (Inputs{kLine600, "0x85"}));
    }
}

TEST_F(VelocityMode, RateChangesOnTheSameAxis) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLine600));

    // Within the change threshold: no new line.
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.005f), KORVANE_SUCCESS);
    std::this_thread::sleep_for(350ms);
    EXPECT_EQ(inputs(), Inputs{kLine600});

    // A reversal is a new line at the worker's next iteration, after a jog cancel: the
    // controller would queue the new line behind the running one instead of replacing it.
    // And the line waits until a report shows the machine stopped: a controller reads no line
    // while it slows down, and would run it after whatever stop came meanwhile.
    auto cancelledAt = std::make_shared<std::atomic<test::Clock::rep>>(0);
    controller.respond([cancelledAt](const test::Input& in) {
        if (in.is(test::kJogCancel)) *cancelledAt = in.at.time_since_epoch().count();
        if (in.is('?')) {
            const bool slowing =
                *cancelledAt != 0 && test::Clock::now().time_since_epoch().count() - *cancelledAt <
                                         std::chrono::nanoseconds(200ms).count();
            return test::reply(slowing ? "<Jog>\r\n" : "<Idle>\r\n");
        }
        return in.realtime ? test::Script{} : test::reply("ok\r\n");
    });
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, -600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLineMinus600, 2000ms));
    EXPECT_EQ(withoutQueries(inputs()), (Inputs{kLine600, "0x85", kLineMinus600}));
    const std::vector<test::Input> all = controller.inputs();
    const auto cancel = std::find_if(all.begin(), all.end(),
                                     [](const test::Input& in) { return in.is(test::kJogCancel); });
    ASSERT_NE(cancel, all.end());
    EXPECT_GE(jogLines().back().at - cancel->at, 190ms) << "the line came before the rest";
    ASSERT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
}

// A new line after a cancel that the controller refuses leaves the machine standing: the
// worker ends rather than write into the same refusal, and the host learns of it from its
// next stop, once.
TEST_F(VelocityMode, LineRefusedAfterARateChangeEndsVelocityMode) {
    auto lines = std::make_shared<std::atomic<int>>(0);
    controller.respond([lines](const test::Input& in) {
        if (in.is('?')) return test::reply("<Idle>\r\n");
        if (in.realtime) return test::Script{};
        return test::reply(++*lines == 2 ? "error:8\r\n" : "ok\r\n");
    });
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLine600));
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, -600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLineMinus600, 1000ms));
    EXPECT_TRUE(waitUntilInactive());
    std::this_thread::sleep_for(600ms);  // longer than the re-issue delay
    EXPECT_EQ(jogLines().size(), 2u);

    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_FIRMWARE_ERROR);
    EXPECT_STREQ(
        Korvane_GetLastError(handle),
        "Firmware error: error:8 (the $ command is only accepted while the machine is Idle)");
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    // The refusal's latched error is cleared with an empty line; nothing was left to cancel.
    EXPECT_EQ(withoutQueries(inputsBeforeFence()), (Inputs{kLine600, "0x85", kLineMinus600, ""}));
}

TEST_F(VelocityMode, AxisSwitchCancelsThenStartsTheNewAxis) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLine600));
    ASSERT_EQ(Korvane_VelocityStart(handle, 2, -45.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine("$J=G91 z-15.000 F45", 1000ms));
    ASSERT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    EXPECT_EQ(withoutQueries(inputsBeforeFence()),
              (Inputs{kLine600, "0x85", "$J=G91 z-15.000 F45", "0x85"}));
}

// The worker sends no query of its own: the jog's end shows up only through the host's
// queries, and the line is sent again no sooner than 500 ms after the previous one.
TEST_F(VelocityMode, EndedJogIsReissuedOnceAfterTheDelay) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLine600));
    cacheState("<Jog|MPos:1,0,0>", KORVANE_STATE_JOG);
    std::this_thread::sleep_for(300ms);  // several of the worker's beats: it has seen Jog
    cacheState("<Idle|MPos:3,0,0>", KORVANE_STATE_IDLE);

    ASSERT_TRUE(controller.waitFor(
        [](const std::vector<test::Input>& all) {
            return std::count_if(all.begin(), all.end(), isJogLine) >= 2;
        },
        2000ms));
    const std::vector<test::Input> first = jogLines();
    EXPECT_EQ(first[1].line, kLine600);
    EXPECT_GE(first[1].at - first[0].at, 450ms);

    // Idle stays cached, but no motion has been seen since: no further line.
    std::this_thread::sleep_for(800ms);
    EXPECT_EQ(jogLines().size(), 2u);
    EXPECT_EQ(inputs(), (Inputs{kLine600, "?", "?", kLine600}));
}

TEST_F(VelocityMode, IdleWithoutMotionSeenIsNoReissue) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLine600));
    for (int i = 0; i < 4; ++i) {
        cacheState("<Idle>", KORVANE_STATE_IDLE);
        std::this_thread::sleep_for(150ms);
    }
    cacheState("<Hold:0>", KORVANE_STATE_HOLD);  // not motion either
    std::this_thread::sleep_for(150ms);
    cacheState("<Idle>", KORVANE_STATE_IDLE);
    std::this_thread::sleep_for(650ms);
    EXPECT_EQ(jogLines().size(), 1u);
}

TEST_F(VelocityMode, StopWithoutControllerDoesNothing) {
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    ASSERT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForRealtime('~'));
    EXPECT_EQ(controller.received(), "~");
}

// Stops land at varying points of the worker's iteration, some right after a rate change
// that it has yet to write, some before its first line: no jog line follows the stop, and
// the last one written is followed by a jog cancel.
TEST_F(VelocityMode, NoJogLineFollowsTheStop) {
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        controller.clear();
        ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
        std::this_thread::sleep_for(std::chrono::milliseconds(round * 20));
        ASSERT_EQ(Korvane_VelocityStart(handle, 0, -600.0f), KORVANE_SUCCESS);
        ASSERT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
        std::this_thread::sleep_for(250ms);
        const Inputs seen = withoutQueries(inputs());
        if (!seen.empty()) {
            EXPECT_EQ(seen.back(), "0x85");
        }
    }
}

// The worker has a line to write but waits for the port behind a slow query when the stop
// comes: once the stop is requested, that line must not go out, before or after the cancel.
TEST_F(VelocityMode, LineWaitingForThePortIsDroppedByTheStop) {
    controller.respond([](const test::Input& in) {
        if (in.is('?')) return test::replyAfter(300, "<Idle>\r\n");
        return in.realtime ? test::Script{} : test::reply("ok\r\n");
    });
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLine600));
    std::thread query([this] {
        std::int32_t state = 0;
        EXPECT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
    });
    ASSERT_TRUE(controller.waitForRealtime('?'));
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, -600.0f), KORVANE_SUCCESS);
    std::this_thread::sleep_for(150ms);  // the worker has taken up the reversal by now
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    query.join();
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(withoutQueries(inputs()), (Inputs{kLine600, "0x85"}));
}

TEST_F(VelocityMode, FailedJogCancelStillEndsVelocityMode) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLine600));
    controller.unplug();
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_WRITE_FAILED);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Serial write failed for jog cancel");
    EXPECT_FALSE(velocityActive());
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
}

TEST_F(VelocityMode, FailedJogLineEndsTheWorkerSilently) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLine600));
    controller.unplug();
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, -600.0f), KORVANE_SUCCESS);  // a line to write
    EXPECT_TRUE(waitUntilInactive());
    // The worker's failure leaves no text of its own; only the polling's refusals may show
    // (velocityActive() asks to home axis 6).
    const std::string error = Korvane_GetLastError(handle);
    EXPECT_TRUE(error.empty() || error == "Velocity mode is active; stop it first" ||
                error.rfind("Invalid axis: 6 (", 0) == 0)
        << error;
    // The stop still tries the jog cancel, and says that it could not be written.
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_WRITE_FAILED);
}

// The stop's cancel goes out at once, even while the worker still waits for its line's
// "ok": a stop must not queue behind anything. Here the "ok" comes before the report to the
// cancel's query, so the cancel ended that jog, and it needs no second one.
TEST_F(VelocityMode, StopRightAfterTheLineDoesNotWaitForItsOk) {
    controller.respond([](const test::Input& in) {
        if (in.is('?')) return test::reply("<Idle>\r\n");
        if (in.realtime) return test::Script{};
        return test::replyAfter(150, "ok\r\n");
    });
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine(kLine600));
    ASSERT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS) << Korvane_GetLastError(handle);
    EXPECT_EQ(withoutQueries(inputsBeforeFence()), (Inputs{kLine600, "0x85"}));
    const std::vector<test::Input> all = controller.inputs();
    const auto cancel = std::find_if(all.begin(), all.end(),
                                     [](const test::Input& in) { return in.is(test::kJogCancel); });
    ASSERT_NE(cancel, all.end());
    EXPECT_LT(cancel->at, jogLines().front().at + 150ms) << "the cancel waited for the ok";
}

// What the controller did with a line that the cancel may have overtaken decides whether it
// needs a cancel of its own: one accepted after the cancel acted runs, and gets one; one
// never answered was dropped, and gets none (a second cancel could hit the end of the first
// one's deceleration). The stop returns within a bound either way.
TEST_F(VelocityMode, OnlyALineAcceptedAfterTheCancelGetsACancelOfItsOwn) {
    {
        SCOPED_TRACE("never answered");
        controller.answerLines("");
        ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
        ASSERT_TRUE(controller.waitForLine(kLine600));
        const test::Clock::time_point start = test::Clock::now();
        ASSERT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
        EXPECT_LT(test::msSince(start), 2500);
        EXPECT_EQ(withoutQueries(inputsBeforeFence()), (Inputs{kLine600, "0x85"}));
    }
    {
        SCOPED_TRACE("accepted after the cancel");
        // The line's "ok" is held until the cancel's query has been answered; the jog then
        // runs until the next cancel.
        struct Script {
            bool lineHeld = false;
            int cancels = 0;
        };
        auto script = std::make_shared<Script>();
        controller.respond([script](const test::Input& in) {
            if (in.is(test::kJogCancel)) ++script->cancels;
            if (in.is('?')) {
                if (script->lineHeld && script->cancels == 1) {
                    script->lineHeld = false;
                    return test::reply("<Idle>\r\nok\r\n");
                }
                return test::reply(script->cancels == 1 ? "<Jog>\r\n" : "<Idle>\r\n");
            }
            if (in.realtime) return test::Script{};
            script->lineHeld = in.line.rfind("$J=", 0) == 0;
            return script->lineHeld ? test::Script{} : test::reply("ok\r\n");
        });
        controller.clear();
        ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
        ASSERT_TRUE(controller.waitForLine(kLine600));
        ASSERT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS) << Korvane_GetLastError(handle);
        EXPECT_EQ(withoutQueries(inputsBeforeFence()), (Inputs{kLine600, "0x85", "0x85"}));
    }
}

// The open door ended the worker, but its line stays planned behind the door and would run
// on after a resume.
TEST_F(VelocityMode, DisconnectCancelsAnEndedWorkersLine) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 3, 300.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine("$J=G91 a100.000 F300"));
    cacheState("<Door:0>", KORVANE_STATE_DOOR);
    ASSERT_TRUE(waitUntilInactive());
    reportUntilCancelled("<Door:0>");
    EXPECT_EQ(Korvane_Disconnect(handle), KORVANE_SUCCESS);
    handle = nullptr;
    ASSERT_TRUE(controller.waitForRealtime(test::kJogCancel));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(withoutQueries(inputs()), (Inputs{"$J=G91 a100.000 F300", "0x85"}));
}

TEST_F(VelocityMode, DisconnectCancelsTheJogFirst) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 3, 300.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine("$J=G91 a100.000 F300"));
    EXPECT_EQ(Korvane_Disconnect(handle), KORVANE_SUCCESS);
    handle = nullptr;
    ASSERT_TRUE(controller.waitForRealtime(test::kJogCancel));
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(withoutQueries(inputs()), (Inputs{"$J=G91 a100.000 F300", "0x85"}));
}

// One thread keeps reversing the rate, so the worker writes a line every iteration, while
// another queries the status as fast as it can. The controller jogs from each line until
// the next cancel.
TEST_F(VelocityMode, WorkerLinesNeverInterleaveWithQueries) {
    auto jogging = std::make_shared<std::atomic<bool>>(false);
    controller.respond([jogging](const test::Input& in) {
        if (in.is(test::kJogCancel)) *jogging = false;
        if (in.is('?')) return test::reply(*jogging ? "<Jog|MPos:1,2,3>\r\n" : "<Idle>\r\n");
        if (in.realtime) return test::Script{};
        *jogging = true;
        return test::reply("ok\r\n");
    });
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    std::atomic<bool> done{false};
    std::thread reverser([&] {
        for (int i = 0; i < 15; ++i) {
            std::this_thread::sleep_for(100ms);
            EXPECT_EQ(Korvane_VelocityStart(handle, 0, i % 2 == 0 ? -600.0f : 600.0f),
                      KORVANE_SUCCESS);
        }
        done = true;
    });
    std::size_t queries = 0;
    while (!done) {
        std::int32_t state = 0;
        EXPECT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
        EXPECT_TRUE(state == KORVANE_STATE_JOG || state == KORVANE_STATE_IDLE) << state;
        ++queries;
    }
    reverser.join();
    ASSERT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);

    std::size_t jogs = 0;
    for (const test::Input& in : controller.inputs()) {
        if (in.realtime) continue;
        EXPECT_TRUE(in.line == kLine600 || in.line == kLineMinus600) << in.line;
        ++jogs;
    }
    EXPECT_GE(jogs, 3u);  // the worker wrote while the queries ran
    // Every query of the host reached the controller (the cancels add queries of their own).
    EXPECT_GE(controller.countInputs([](const test::Input& in) { return in.is('?'); }), queries);
}

// Hosts must not overlap starts and stops, but a host that does must not bring the library
// down: every call still returns one of its results, and a stop is still the last word.
TEST_F(VelocityMode, OverlappingStartsStopsAndJogsDoNotCrash) {
    std::vector<std::thread> threads;
    const test::Clock::time_point until = test::Clock::now() + 1500ms;
    for (unsigned seed = 1; seed <= 4; ++seed) {
        threads.emplace_back([this, seed, until] {
            std::minstd_rand random(seed);
            while (test::Clock::now() < until) {
                const unsigned pick = random() % 3;
                if (pick == 0) {
                    const std::int32_t axis = static_cast<std::int32_t>(random() % 3);
                    const float rate = (random() % 2 == 0 ? 300.0f : -600.0f);
                    EXPECT_EQ(Korvane_VelocityStart(handle, axis, rate), KORVANE_SUCCESS);
                } else if (pick == 1) {
                    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
                } else {
                    const ResultCode r = Korvane_JogRel(handle, 1, 1.0f, 100.0f);
                    EXPECT_TRUE(r == KORVANE_SUCCESS || r == KORVANE_VELOCITY_ACTIVE) << r;
                }
            }
        });
    }
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    // Whatever was written before the stop returned has arrived once the resume byte has.
    ASSERT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForRealtime('~'));
    const std::size_t linesAtStop = jogLines().size();
    std::this_thread::sleep_for(250ms);
    EXPECT_EQ(jogLines().size(), linesAtStop);
    EXPECT_FALSE(velocityActive());
}

}  // namespace
}  // namespace korvane
