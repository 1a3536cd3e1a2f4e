// The command exchange and the line reader against a scripted controller on a real pty.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/clock.h"
#include "protocol/exchange.h"
#include "support/scripted_controller.h"
#include "support/test_link.h"

namespace korvane {
namespace {

using std::chrono::milliseconds;
using test::Input;
using test::PtyPair;
using test::reply;
using test::replyAfter;
using test::Script;
using test::ScriptedController;
using test::TestLink;

class Exchange : public ::testing::Test {
  protected:
    PtyPair pty;
    ScriptedController controller{pty};
    TestLink link{pty};
    StatusReport report;

    long timed(const std::function<void()>& call) {
        const auto start = test::Clock::now();
        call();
        return static_cast<long>(
            std::chrono::duration_cast<milliseconds>(test::Clock::now() - start).count());
    }
};

TEST_F(Exchange, QueryIgnoresOkAndReturnsTheReport) {
    controller.answerQueries("ok\r\n<Idle|MPos:1.000,2.000,3.000|FS:0,0>\r\n");
    ASSERT_EQ(exchange(link, "?", &report, 500), KORVANE_SUCCESS);
    EXPECT_EQ(report.state, KORVANE_STATE_IDLE);
    EXPECT_EQ(report.positionCount, 3);
    ASSERT_EQ(link.stored.size(), 1u);
    EXPECT_EQ(link.stored[0], report);
    EXPECT_EQ(controller.received(), "?");
}

TEST_F(Exchange, OkToACommandIsFollowedByAStatusQuery) {
    controller.answer("<Jog|MPos:5>\r\n", "ok\r\n");
    ASSERT_EQ(exchange(link, "$J=G91 x5.000 F300", &report, 500), KORVANE_SUCCESS);
    EXPECT_EQ(report.state, KORVANE_STATE_JOG);
    EXPECT_EQ(controller.received(), "$J=G91 x5.000 F300\r\n?");
}

// A report before the "ok" may be a stale one still on its way: only the command's own "ok"
// settles it, and only the report that answers the query after it is stored.
TEST_F(Exchange, ReportBeforeOkNeitherSettlesNorIsStored) {
    controller.answer("<Idle>\r\n", "<Run>\r\nok\r\n");
    ASSERT_EQ(exchange(link, "$X", &report, 500), KORVANE_SUCCESS);
    EXPECT_EQ(report.state, KORVANE_STATE_IDLE);
    ASSERT_EQ(link.stored.size(), 1u);
    EXPECT_EQ(link.stored[0].state, KORVANE_STATE_IDLE);
    EXPECT_EQ(controller.received(), "$X\r\n?");

    controller.answerLines("<Run>\r\n");  // a report and no "ok": no acceptance at all
    EXPECT_EQ(exchange(link, "$X", &report, 300), KORVANE_TIMEOUT);
    EXPECT_EQ(link.stored.size(), 1u);
}

// A controller that answers the empty line between CR and LF with an "ok" of its own: that
// "ok" comes late, after a refusal as after an acceptance, and must not pass for the next
// command's acceptance when the commands follow each other at once.
TEST_F(Exchange, TrailingOkIsNotTheNextCommandsOk) {
    controller.respond([](const Input& in) -> Script {
        if (in.is('?')) return test::reply("<Idle>\r\n");
        if (in.realtime) return {};
        const bool refused = in.line.find("-500") != std::string::npos;
        return {{0, refused ? "error:15\r\n" : "ok\r\n"}, {20, "ok\r\n"}};
    });
    link.wire().setLineEnds(2, 2);  // what connect learns from such a controller
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(exchange(link, "$J=G90 x-500.000 F600", &report, 500), KORVANE_FIRMWARE_ERROR);
        EXPECT_EQ(exchange(link, "$J=G90 x-500.000 F600", &report, 500), KORVANE_FIRMWARE_ERROR);
        EXPECT_EQ(exchange(link, "$J=G90 x5.000 F600", &report, 500), KORVANE_SUCCESS);
        EXPECT_EQ(exchange(link, "$J=G90 x-500.000 F600", &report, 500), KORVANE_FIRMWARE_ERROR);
    }
}

TEST_F(Exchange, OkWithoutReportTimesOutInTheFollowUpQuery) {
    controller.answerLines("ok\r\n");
    long ms = timed([&] { EXPECT_EQ(exchange(link, "$X", &report, 2000), KORVANE_TIMEOUT); });
    EXPECT_EQ(link.lastError, "Timeout waiting for response");
    // The follow-up query has its own 500 ms, whatever was left of the 2000 ms.
    EXPECT_GE(ms, 450);
    EXPECT_LT(ms, 1500);
    EXPECT_EQ(controller.received(), "$X\r\n?");
    EXPECT_TRUE(link.stored.empty());
}

TEST_F(Exchange, ErrorLinesFailWithTheWholeLine) {
    controller.answer("error:9\r\n", "error:22\r\n");
    EXPECT_EQ(exchange(link, "$X", &report, 500), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(link.lastError, "Firmware error: error:22 (no feed rate has been set)");
    EXPECT_EQ(exchange(link, "?", &report, 500), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(link.lastError,
              "Firmware error: error:9 (motion commands are locked out during an alarm or a jog)");

    controller.answerLines("ok\r\n");  // the error comes in answer to the follow-up query
    EXPECT_EQ(exchange(link, "$Y", &report, 500), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(link.lastError,
              "Firmware error: error:9 (motion commands are locked out during an alarm or a jog)");
}

TEST_F(Exchange, SilenceTimesOutAfterTheLimit) {
    long ms = timed([&] { EXPECT_EQ(exchange(link, "?", &report, 300), KORVANE_TIMEOUT); });
    EXPECT_EQ(link.lastError, "Timeout waiting for response");
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 1500);
}

TEST_F(Exchange, LineSplitAcrossAWindowArrivesWhole) {
    // The first half arrives, the rest only after the 100 ms window has closed: the first
    // half waits for it in the next window.
    controller.respond([](const Input& in) -> Script {
        if (in.is('?')) return {{0, "<Idl"}, {250, "e>\r\n"}};
        return {};
    });
    ASSERT_EQ(exchange(link, "?", &report, 500), KORVANE_SUCCESS);
    EXPECT_EQ(report.state, KORVANE_STATE_IDLE);
    controller.respond([](const Input& in) -> Script {
        if (in.is('?')) return test::reply("<Jog>\r\n");
        if (!in.realtime) return {{0, "o"}, {250, "k\r\n"}};
        return {};
    });
    ASSERT_EQ(exchange(link, "$X", &report, 500), KORVANE_SUCCESS);
    EXPECT_EQ(report.state, KORVANE_STATE_JOG);
    EXPECT_EQ(controller.realtimeBytes(), "??") << "the split ok was seen and answered";
}

TEST_F(Exchange, SlowButWholeLinesWithinAWindowArrive) {
    controller.respond([](const Input& in) -> Script {
        if (in.is('?')) return {{0, "<Id"}, {30, "le|F:7"}, {30, ">\r\n"}};
        return {};
    });
    ASSERT_EQ(exchange(link, "?", &report, 500), KORVANE_SUCCESS);
    EXPECT_FLOAT_EQ(report.feed, 7.0f);
}

TEST_F(Exchange, CrAnywhereAndBlankLinesAreDropped) {
    controller.answerQueries("\r\n\n\r\r\n<Id\rle|F:\r3>\n");
    ASSERT_EQ(exchange(link, "?", &report, 500), KORVANE_SUCCESS);
    EXPECT_EQ(report.state, KORVANE_STATE_IDLE);
    EXPECT_FLOAT_EQ(report.feed, 3.0f);
}

TEST_F(Exchange, OverLongLinesAreCutNotSplit) {
    // 600 characters: cut to 511, the '>' is lost and the report ignored; the next line
    // starts fresh and is read normally.
    controller.answerQueries("<Idle|" + std::string(593, 'x') + ">\r\n<Hold>\r\n");
    ASSERT_EQ(exchange(link, "?", &report, 500), KORVANE_SUCCESS);
    EXPECT_EQ(report.state, KORVANE_STATE_HOLD);

    controller.answerQueries("error:" + std::string(600, 'e') + "\r\n");
    EXPECT_EQ(exchange(link, "?", &report, 500), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(link.lastError.size(), 255u);
    EXPECT_EQ(link.lastError.rfind("Firmware error: error:eee", 0), 0u);
}

TEST_F(Exchange, UnknownStatesAndNoiseAreIgnored) {
    controller.answerQueries(std::string("<Bogus>\r\nhello\r\n\x01\x02\xff\r\n<Idle>\r\n"));
    ASSERT_EQ(exchange(link, "?", &report, 500), KORVANE_SUCCESS);
    EXPECT_EQ(report.state, KORVANE_STATE_IDLE);
    ASSERT_EQ(link.stored.size(), 1u);
}

TEST_F(Exchange, NulBytesInsideLinesStayInsideTheBuffer) {
    controller.answerQueries(std::string("<Idle|F:1\0|F:2>\r\n<Door>\r\n", 25));
    ASSERT_EQ(exchange(link, "?", &report, 500), KORVANE_SUCCESS);
    EXPECT_EQ(report.state, KORVANE_STATE_DOOR);
}

// Verdicts nobody waits for (a controller's answers to a session before this one, or the
// echo of a line nobody wrote) are still in the input when the next command goes out: they
// must neither accept nor refuse it, only the command's own verdict does.
TEST_F(Exchange, StaleVerdictsSettleNoCommand) {
    controller.send("ok\r\n");
    std::this_thread::sleep_for(milliseconds(50));
    controller.answer("<Idle>\r\n", "error:9\r\n");
    EXPECT_EQ(exchange(link, "$X", &report, 500), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(link.lastError,
              "Firmware error: error:9 (motion commands are locked out during an alarm or a jog)");

    controller.send("error:3\r\n");
    std::this_thread::sleep_for(milliseconds(50));
    controller.answerLines("ok\r\n");
    EXPECT_EQ(exchange(link, "$X", &report, 500), KORVANE_SUCCESS);
    EXPECT_EQ(report.state, KORVANE_STATE_IDLE);
}

TEST_F(Exchange, NotConnectedWritesNothingAndLeavesNoMessage) {
    link.connected = false;
    link.lastError = "earlier";
    EXPECT_EQ(exchange(link, "?", &report, 500), KORVANE_NOT_CONNECTED);
    EXPECT_EQ(exchange(link, "$X", &report, 500), KORVANE_NOT_CONNECTED);
    EXPECT_EQ(link.lastError, "earlier");
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(controller.received(), "");
}

TEST(ExchangeWriteFailure, ReportsWhichWriteFailed) {
    PtyPair pty;
    TestLink link{pty};
    pty.closeMaster();
    StatusReport report;
    EXPECT_EQ(exchange(link, "?", &report, 500), KORVANE_WRITE_FAILED);
    EXPECT_EQ(link.lastError, "Serial write failed");
    EXPECT_EQ(exchange(link, "$MPos=x1.000", &report, 500), KORVANE_WRITE_FAILED);
    EXPECT_EQ(link.lastError, "Serial write failed for: $MPos=x1.000");
}

TEST_F(Exchange, ReadLineCutsToItsBufferAndWaitsForTheEnd) {
    char buffer[8];
    controller.send("abcdefghijk\r\nnext\r\n");
    ASSERT_TRUE(readLine(link, buffer, sizeof buffer, 500));
    EXPECT_STREQ(buffer, "abcdefg");
    ASSERT_TRUE(readLine(link, buffer, sizeof buffer, 500)) << "readLine leaves the rest unread";
    EXPECT_STREQ(buffer, "next");

    controller.send("a\rb\n");
    ASSERT_TRUE(readLine(link, buffer, sizeof buffer, 500));
    EXPECT_STREQ(buffer, "ab");

    controller.send("no end");
    long ms = timed([&] { EXPECT_FALSE(readLine(link, buffer, sizeof buffer, 200)); });
    EXPECT_GE(ms, 190);
    EXPECT_LT(ms, 1000);
}

TEST_F(Exchange, ReadLineHasNoWindow) {
    controller.sendScript({{0, "slo"}, {250, "w\r\n"}});
    char buffer[16];
    ASSERT_TRUE(readLine(link, buffer, sizeof buffer, 1000));
    EXPECT_STREQ(buffer, "slow");
}

TEST(ElapsedMs, StaysRightAcrossTheWrap) {
    EXPECT_EQ(elapsedMs(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(elapsedMs(5u, 5u), 0u);
    EXPECT_EQ(elapsedMs(0u, 0xFFFFFFFFu), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace korvane
