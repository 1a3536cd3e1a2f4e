// Homing through the export over a real pty: the command, the polling and the end of the
// cycle as the status reports show it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "korvane/korvane.h"
#include "support/refusal.h"
#include "support/scripted_controller.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;
using test::Script;
using test::ScriptedController;

bool isPoll(const test::Input& in) {
    return in.is('?');
}

class Homing : public ::testing::Test {
  protected:
    void SetUp() override {
        controller.answerQueries("<Run|MPos:0.000,0.000,0.000>\r\n");
        ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
        controller.clear();
    }
    void TearDown() override {
        if (handle != nullptr) Korvane_Disconnect(handle);
    }

    // Puts a report with the given state into the connection's cache.
    void cacheState(const std::string& report, std::int32_t expected) {
        controller.respond(nullptr);
        controller.answerQueries(report + "\r\n");
        std::int32_t state = 0;
        ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
        ASSERT_EQ(state, expected);
        controller.clear();
    }

    // Answers the homing command with commandReply and the polls, in turn, with pollReplies;
    // polls beyond the list go unanswered.
    void script(Script commandReply, std::vector<Script> pollReplies) {
        auto polls = std::make_shared<std::vector<Script>>(std::move(pollReplies));
        auto next = std::make_shared<std::size_t>(0);
        controller.respond([=](const test::Input& in) -> Script {
            if (in.is('?')) return *next < polls->size() ? (*polls)[(*next)++] : Script{};
            if (!in.realtime && in.line.rfind("$H", 0) == 0) return commandReply;
            return {};
        });
    }

    // Whether a feed hold now writes its byte: it does not when the cached state is Idle,
    // which makes the cache visible from outside.
    bool feedHoldWrites() {
        controller.clear();
        EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_SUCCESS);
        EXPECT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
        EXPECT_TRUE(controller.waitForRealtime('~'));
        const std::string bytes = controller.realtimeBytes();
        return bytes.find('!') != std::string::npos;
    }

    PtyPair pty;
    ScriptedController controller{pty};
    DeviceHandle handle = nullptr;
};

TEST_F(Homing, RefusedAxesWriteNothing) {
    for (std::int32_t axis : {6, -2, std::numeric_limits<std::int32_t>::min(),
                              std::numeric_limits<std::int32_t>::max()}) {
        EXPECT_TRUE(
            test::refused(handle, Korvane_Home(handle, axis), "axis", std::to_string(axis)));
    }
    EXPECT_STREQ(Korvane_GetLastError(handle),
                 "Invalid axis: 2147483647 (accepted: 0..5 (x, y, z, a, b, c) or -1 (all))");
    EXPECT_EQ(Korvane_Home(nullptr, 0), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForRealtime('~'));
    EXPECT_EQ(controller.received(), "~");
}

struct AxisCase {
    std::int32_t axis;
    const char* line;
};

class HomingCommand : public Homing, public ::testing::WithParamInterface<AxisCase> {};

TEST_P(HomingCommand, IsWrittenOnceThenPolled) {
    script(test::reply("ok\r\n"),
           {test::reply("<Home|MPos:0,0,0>\r\n"), test::reply("<Idle>\r\n")});
    ASSERT_EQ(Korvane_Home(handle, GetParam().axis), KORVANE_SUCCESS);
    const std::vector<test::Input> inputs = controller.inputs();
    ASSERT_EQ(inputs.size(), 3u);
    EXPECT_TRUE(inputs[0].isLine(GetParam().line));
    EXPECT_TRUE(inputs[1].is('?'));
    EXPECT_TRUE(inputs[2].is('?'));
    EXPECT_EQ(controller.received(), std::string(GetParam().line) + "\r\n??");
}

INSTANTIATE_TEST_SUITE_P(Axes, HomingCommand,
                         ::testing::Values(AxisCase{-1, "$H"}, AxisCase{0, "$Hx"},
                                           AxisCase{1, "$Hy"}, AxisCase{2, "$Hz"},
                                           AxisCase{3, "$Ha"}, AxisCase{4, "$Hb"},
                                           AxisCase{5, "$Hc"}),
                         [](const ::testing::TestParamInfo<AxisCase>& param) {
                             return param.param.axis < 0 ? std::string("All")
                                                         : std::string(param.param.line + 2);
                         });

TEST_F(Homing, ErrorLineEndsTheWaitInEitherState) {
    script(test::reply("error:22\r\n"), {});
    EXPECT_EQ(Korvane_Home(handle, 0), KORVANE_FIRMWARE_ERROR);
    EXPECT_STREQ(Korvane_GetLastError(handle),
                 "Homing error: error:22 (no feed rate has been set)");

    controller.clear();
    script(test::reply("ok\r\n"), {test::reply("<Home>\r\n"), test::reply("error:45 (x)\r\n")});
    EXPECT_EQ(Korvane_Home(handle, -1), KORVANE_FIRMWARE_ERROR);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Homing error: error:45 (x)");
    EXPECT_EQ(controller.countInputs(isPoll), 2u);
    EXPECT_TRUE(feedHoldWrites()) << "an error stores no report";
}

TEST_F(Homing, HomeThenIdleSucceedsAndCachesTheIdleReport) {
    ASSERT_TRUE(feedHoldWrites());  // Run is cached from the connection's probe
    script(test::reply("ok\r\n"),
           {test::reply("<Home>\r\n"), test::reply("<Idle|MPos:0,0,0>\r\n")});
    EXPECT_EQ(Korvane_Home(handle, 2), KORVANE_SUCCESS);
    EXPECT_STREQ(Korvane_GetLastError(handle), "");
    EXPECT_FALSE(feedHoldWrites());
}

TEST_F(Homing, HomeThenAlarmFailsAndCachesTheAlarmReport) {
    cacheState("<Idle>", KORVANE_STATE_IDLE);
    ASSERT_FALSE(feedHoldWrites());
    script(test::reply("ok\r\n"), {test::reply("<Home>\r\n"), test::reply("<Alarm:9>\r\n")});
    EXPECT_EQ(Korvane_Home(handle, 1), KORVANE_FIRMWARE_ERROR);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Homing failed: alarm state");
    EXPECT_TRUE(feedHoldWrites());
}

// Reports before the first Home belong to the time before the cycle started, and lines that
// are not reports say nothing about it: only Home followed by another state ends the wait.
TEST_F(Homing, OnlyAStateAfterHomeEndsTheWait) {
    cacheState("<Idle>", KORVANE_STATE_IDLE);
    script(test::reply("ok\r\n\r\n[MSG:Homing]\r\n"),
           {test::reply("<Alarm:1>\r\n"), test::reply("<Idle>\r\nok\r\n"),
            test::reply("<Home>\r\n"), test::reply("<Home>\r\n<Bogus>\r\n"),
            test::reply("[MSG:Homing]\r\n<Home>\r\n"), test::reply("<Jog|MPos:1,2,3>\r\n")});
    EXPECT_EQ(Korvane_Home(handle, 3), KORVANE_SUCCESS);
    EXPECT_EQ(controller.countInputs(isPoll), 6u);
    EXPECT_TRUE(feedHoldWrites()) << "the Jog report that ended the wait is cached";
}

// A poll answered at once opens a fresh window; the next poll waits for that window to run
// out rather than following the answer immediately.
TEST_F(Homing, PollFollowsOnlyAQuietWindow) {
    script(test::reply("ok\r\n"), {test::reply("<Home>\r\n"), test::reply("<Home>\r\n"),
                                   test::reply("<Home>\r\n"), test::reply("<Idle>\r\n")});
    ASSERT_EQ(Korvane_Home(handle, 0), KORVANE_SUCCESS);
    std::vector<test::Clock::time_point> polls;
    for (const test::Input& in : controller.inputs()) {
        if (in.is('?')) polls.push_back(in.at);
    }
    ASSERT_EQ(polls.size(), 4u);
    for (std::size_t i = 1; i < polls.size(); ++i) {
        EXPECT_GE(polls[i] - polls[i - 1], 180ms) << "poll " << i;
    }
}

TEST_F(Homing, LinesInEveryWindowNeedNoFurtherPoll) {
    Script stream;
    for (int i = 0; i < 8; ++i) stream.push_back({100, "<Home|MPos:0,0,0>\r\n"});
    stream.push_back({100, "<Idle>\r\n"});
    script(stream, {});
    ASSERT_EQ(Korvane_Home(handle, 1), KORVANE_SUCCESS);
    EXPECT_EQ(controller.countInputs(isPoll), 1u);
}

// Reports from before the call say nothing about the cycle it starts.
// A line still incomplete when its window runs out is kept for the next one: a controller
// that answers no query while homing sends its one Home report whenever the cycle ends,
// which may be across a window's end.
TEST_F(Homing, PartialLineSurvivesItsWindow) {
    script(test::reply("ok\r\n"), {Script{{0, "<Ho"}, {300, "me>\r\n"}},
                                   {},
                                   Script{{0, "<Id"}, {250, "le|MPos:1,2,3>\r\n"}}});
    ASSERT_EQ(Korvane_Home(handle, 0), KORVANE_SUCCESS) << Korvane_GetLastError(handle);
    EXPECT_FALSE(feedHoldWrites()) << "the Idle report ended the cycle and was cached";
}

// Such a controller tells of a failed cycle only by an "ALARM:" line and Alarm reports,
// without ever having shown Home.
TEST_F(Homing, AlarmLineEndsTheWait) {
    script(test::reply("ok\r\n"), {{}, test::reply("ALARM:6\r\n"), test::reply("<Alarm>\r\n")});
    const auto start = test::Clock::now();
    EXPECT_EQ(Korvane_Home(handle, KORVANE_AXIS_ALL), KORVANE_FIRMWARE_ERROR);
    EXPECT_LT(test::msSince(start), 5000);
    EXPECT_STREQ(Korvane_GetLastError(handle),
                 "Homing failed: alarm state: ALARM:6 (homing failed: the cycle was reset)");
    EXPECT_TRUE(feedHoldWrites()) << "no report ended the cycle: the cache is unchanged";
}

// The alarm line says why the cycle failed, and the message passes that on; an alarm line from
// before the cycle is no reason for this failure and is not quoted.
TEST_F(Homing, AlarmMessageQuotesOnlyTheCyclesOwnAlarmLine) {
    controller.respond(nullptr);
    controller.answerQueries("ALARM:1\r\n<Alarm>\r\n");
    std::int32_t state = 0;
    ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
    controller.clear();
    script(test::reply("ok\r\n"), {test::reply("<Home>\r\n"), test::reply("<Alarm>\r\n")});
    EXPECT_EQ(Korvane_Home(handle, 0), KORVANE_FIRMWARE_ERROR);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Homing failed: alarm state");

    script(test::reply("ok\r\n"), {test::reply("<Home>\r\n"), test::reply("ALARM:9\r\n")});
    EXPECT_EQ(Korvane_Home(handle, 0), KORVANE_FIRMWARE_ERROR);
    const std::string explained = Korvane_GetLastError(handle);
    EXPECT_EQ(explained.rfind("Homing failed: alarm state: ALARM:9 (", 0), 0u) << explained;
    EXPECT_NE(explained.find("no limit switch"), std::string::npos) << explained;

    script(test::reply("ok\r\n"), {test::reply("<Home>\r\n"), test::reply("ALARM:42\r\n")});
    EXPECT_EQ(Korvane_Home(handle, 0), KORVANE_FIRMWARE_ERROR);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Homing failed: alarm state: ALARM:42");
}

TEST_F(Homing, EarlierInputIsDiscarded) {
    controller.send("<Home>\r\n<Idle>\r\n");
    std::this_thread::sleep_for(50ms);
    script(test::reply("ok\r\n"), {test::reply("<Home>\r\n"), test::reply("<Alarm:1>\r\n")});
    EXPECT_EQ(Korvane_Home(handle, 0), KORVANE_FIRMWARE_ERROR);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Homing failed: alarm state");
}

TEST_F(Homing, UnpluggedControllerFailsTheCommand) {
    controller.unplug();
    EXPECT_EQ(Korvane_Home(handle, 0), KORVANE_WRITE_FAILED);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Serial write failed for: $Hx");
    EXPECT_EQ(Korvane_Home(handle, -1), KORVANE_WRITE_FAILED);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Serial write failed for: $H");
}

// The one slow test: a controller that talks all the time but never shows Home must still
// let the call end at its limit of about thirty seconds.
TEST_F(Homing, FloodWithoutHomeEndsInTimeout) {
    Script flood;
    for (int i = 0; i < 640; ++i) flood.push_back({50, "<Idle|MPos:0,0,0>\r\n"});
    script(flood, {});
    const test::Clock::time_point start = test::Clock::now();
    EXPECT_EQ(Korvane_Home(handle, -1), KORVANE_TIMEOUT);
    const auto spent = test::Clock::now() - start;
    EXPECT_GE(spent, 29900ms);
    EXPECT_LT(spent, 32000ms);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Homing timeout");
    EXPECT_EQ(controller.countInputs(isPoll), 1u);
    EXPECT_TRUE(feedHoldWrites()) << "no report of the flood is cached";
}

}  // namespace
}  // namespace korvane
