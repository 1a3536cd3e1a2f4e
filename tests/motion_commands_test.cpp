// Jogs, settings and the stop commands, through the exports over a real pty.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "korvane/korvane.h"
#include "support/connected_controller.h"
#include "support/refusal.h"
#include "support/scripted_controller.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;
using test::ScriptedController;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr char kVelocityMessage[] = "Velocity mode is active; stop it first";

class MotionCommands : public test::ConnectedController {
  protected:
    // Leaves a known message, to show that later calls keep or replace it.
    // A failed query changes nothing else: not the cache, not velocity mode.
    void leaveFirmwareError() {
        controller.answerQueries("error:9\r\n");
        std::int32_t state = 0;
        ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_FIRMWARE_ERROR);
        ASSERT_STREQ(
            Korvane_GetLastError(handle),
            "Firmware error: error:9 (motion commands are locked out during an alarm or a jog)");
        controller.answerQueries("<Idle|MPos:0.000,0.000,0.000>\r\n");
    }

    // What reached the controller before a resume byte written now, as a list of inputs
    // ("?" and the like for real-time bytes, "0x85" for the jog cancel, lines as they are).
    std::vector<std::string> inputsBeforeFence() {
        const auto isResume = [](const test::Input& in) { return in.is('~'); };
        const std::size_t resumes = controller.countInputs(isResume);
        EXPECT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
        EXPECT_TRUE(controller.waitFor([&](const std::vector<test::Input>& all) {
            return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), isResume)) >
                   resumes;
        }));
        std::vector<std::string> out;
        for (const test::Input& in : controller.inputs()) {
            if (in.is(test::kJogCancel)) {
                out.push_back("0x85");
            } else {
                out.push_back(in.realtime ? std::string(1, in.byte) : in.line);
            }
        }
        const auto fence = std::find(out.rbegin(), out.rend(), "~");
        if (fence != out.rend()) out.erase(std::prev(fence.base()), out.end());
        return out;
    }
};

using Inputs = std::vector<std::string>;

// The inputs without the status queries: a stop polls until a report shows rest, and how
// often depends on timing, not on what the library decided.
Inputs withoutPolls(Inputs inputs) {
    inputs.erase(std::remove(inputs.begin(), inputs.end(), "?"), inputs.end());
    return inputs;
}

// --- Lines on the wire -------------------------------------------------------------------

struct WireCase {
    const char* name;
    ResultCode (*call)(DeviceHandle);
    Inputs lines;
    Inputs before = {};  // real-time bytes written ahead of the lines
};

class LinesOnTheWire : public MotionCommands, public ::testing::WithParamInterface<WireCase> {};

// Each line is answered "ok" and followed by the status query that completes it.
TEST_P(LinesOnTheWire, AreExactlyTheCommand) {
    ASSERT_EQ(GetParam().call(handle), KORVANE_SUCCESS);
    Inputs expected = GetParam().before;
    for (const std::string& line : GetParam().lines) {
        expected.push_back(line);
        expected.push_back("?");
    }
    EXPECT_EQ(inputsBeforeFence(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, LinesOnTheWire,
    ::testing::Values(
        WireCase{"JogAbs",
                 [](DeviceHandle h) { return Korvane_JogAbs(h, 2, 10.5f, 300.7f); },
                 {"$J=G90 z10.500 F300"}},
        WireCase{"JogRel",
                 [](DeviceHandle h) { return Korvane_JogRel(h, 0, -5.0f, 1000.0f); },
                 {"$J=G91 x-5.000 F1000"}},
        WireCase{
            "SetPos", [](DeviceHandle h) { return Korvane_SetPos(h, 3, 0.0f); }, {"$MPos=a0.000"}},
        WireCase{"SetPosNegative",
                 [](DeviceHandle h) { return Korvane_SetPos(h, 4, -123.4567f); },
                 {"$MPos=b-123.457"}},
        WireCase{"SetAcceleration",
                 [](DeviceHandle h) { return Korvane_SetAcceleration(h, 1, 250.0f); },
                 {"$axes/y/acceleration_mm_per_sec2=250.000"}},
        WireCase{"SoftLimitsOnForAnyNonZero",
                 [](DeviceHandle h) { return Korvane_EnableSoftLimits(h, 5, -7); },
                 {"$axes/c/soft_limits=true"}},
        WireCase{"SoftLimitsOnForTwo",
                 [](DeviceHandle h) { return Korvane_EnableSoftLimits(h, 0, 2); },
                 {"$axes/x/soft_limits=true"}},
        WireCase{"SoftLimitsOff",
                 [](DeviceHandle h) { return Korvane_EnableSoftLimits(h, 5, 0); },
                 {"$axes/c/soft_limits=false"}},
        WireCase{"SoftLimitRange",
                 [](DeviceHandle h) { return Korvane_SetSoftLimitRange(h, 2, 300.0f, -300.0f); },
                 {"$axes/z/max_travel_mm=300.000", "$axes/z/homing/mpos_mm=-300.000"}},
        // The hold and its marker query, then one poll whose report confirms the rest.
        WireCase{"EmergencyStop",
                 [](DeviceHandle h) { return Korvane_EmergencyStop(h); },
                 {"$ES"},
                 {"!", "?", "?"}},
        // Three decimals are the decimal nearest to the float's exact value.
        WireCase{"RoundsUpAboveHalf",
                 [](DeviceHandle h) { return Korvane_JogRel(h, 0, 1.2345f, 100.0f); },
                 {"$J=G91 x1.235 F100"}},
        WireCase{"RoundsDownBelowHalf",
                 [](DeviceHandle h) { return Korvane_SetPos(h, 1, 2.0005f); },
                 {"$MPos=y2.000"}},
        WireCase{"KeepsSignOfTinyNegative",
                 [](DeviceHandle h) { return Korvane_SetPos(h, 2, -0.0001f); },
                 {"$MPos=z-0.000"}},
        // The feed word is truncated toward zero.
        WireCase{"FeedOfOneAndAHalfGivesF1",
                 [](DeviceHandle h) { return Korvane_JogRel(h, 1, 1.0f, 1.5f); },
                 {"$J=G91 y1.000 F1"}},
        WireCase{"LargestFeedBelowTwoToThe31",
                 [](DeviceHandle h) { return Korvane_JogAbs(h, 5, 1.0f, 2147483520.0f); },
                 {"$J=G90 c1.000 F2147483520"}}),
    [](const ::testing::TestParamInfo<WireCase>& param) { return std::string(param.param.name); });

TEST_F(MotionCommands, EveryAxisHasItsLetter) {
    const char letters[] = "xyzabc";
    for (std::int32_t axis = 0; axis < 6; ++axis) {
        ASSERT_EQ(Korvane_JogRel(handle, axis, 1.0f, 10.0f), KORVANE_SUCCESS);
        EXPECT_EQ(controller.lines().back(), std::string("$J=G91 ") + letters[axis] + "1.000 F10");
    }
}

// --- Refusals ----------------------------------------------------------------------------

TEST_F(MotionCommands, RefusedArgumentsWriteNothingAndSayWhichAndWhatIsAccepted) {
    leaveFirmwareError();
    controller.clear();
    using test::refused;
    for (std::int32_t axis : {6, -1, std::numeric_limits<std::int32_t>::min()}) {
        SCOPED_TRACE(axis);
        const std::string shown = std::to_string(axis);
        EXPECT_TRUE(refused(handle, Korvane_JogAbs(handle, axis, 1.0f, 100.0f), "axis", shown));
        EXPECT_TRUE(refused(handle, Korvane_JogRel(handle, axis, 1.0f, 100.0f), "axis", shown));
        EXPECT_TRUE(refused(handle, Korvane_SetPos(handle, axis, 1.0f), "axis", shown));
        EXPECT_TRUE(refused(handle, Korvane_SetAcceleration(handle, axis, 100.0f), "axis", shown));
        EXPECT_TRUE(refused(handle, Korvane_EnableSoftLimits(handle, axis, 1), "axis", shown));
        EXPECT_TRUE(
            refused(handle, Korvane_SetSoftLimitRange(handle, axis, 1.0f, 1.0f), "axis", shown));
    }
    EXPECT_STREQ(Korvane_GetLastError(handle),
                 "Invalid axis: -2147483648 (accepted: 0..5 (x, y, z, a, b, c))");
    // A feed below 1 would be sent as F0, which the controller refuses.
    const std::pair<float, const char*> feeds[] = {
        {0.0f, "0"},     {-0.0f, "-0"},     {-1.0f, "-1"},
        {0.5f, "0.5"},   {0.999f, "0.999"}, {kNaN, "nan"},
        {kInf, "inf"},   {-kInf, "-inf"},   {2147483648.0f, "2147483648"},
        {1e30f, "1e+30"}};
    for (const auto& [feed, shown] : feeds) {
        SCOPED_TRACE(feed);
        EXPECT_TRUE(refused(handle, Korvane_JogAbs(handle, 0, 1.0f, feed), "feed", shown));
        EXPECT_TRUE(refused(handle, Korvane_JogRel(handle, 0, 1.0f, feed), "feed", shown));
    }
    EXPECT_STREQ(Korvane_GetLastError(handle),
                 "Invalid feed: 1e+30 (accepted: at least 1 and below 2147483648)");
    // "nan" and "inf" are no positions, distances or travel settings.
    for (float value : {kNaN, kInf, -kInf}) {
        SCOPED_TRACE(value);
        const std::string shown = std::isnan(value) ? "nan" : value > 0 ? "inf" : "-inf";
        EXPECT_TRUE(refused(handle, Korvane_JogAbs(handle, 0, value, 100.0f), "position", shown));
        EXPECT_TRUE(refused(handle, Korvane_JogRel(handle, 0, value, 100.0f), "distance", shown));
        EXPECT_TRUE(refused(handle, Korvane_SetPos(handle, 0, value), "position", shown));
        EXPECT_TRUE(
            refused(handle, Korvane_SetSoftLimitRange(handle, 0, value, 1.0f), "maxTravel", shown));
        EXPECT_TRUE(refused(handle, Korvane_SetSoftLimitRange(handle, 0, 1.0f, value),
                            "homingPosition", shown));
    }
    // Two bad values: the first in the parameter list is the one named.
    EXPECT_TRUE(refused(handle, Korvane_JogRel(handle, 0, kNaN, 0.0f), "distance", "nan"));
    const std::pair<float, const char*> accelerations[] = {
        {0.0f, "0"}, {-0.0f, "-0"}, {-250.0f, "-250"}, {kNaN, "nan"}, {kInf, "inf"}};
    for (const auto& [acceleration, shown] : accelerations) {
        SCOPED_TRACE(acceleration);
        EXPECT_TRUE(refused(handle, Korvane_SetAcceleration(handle, 0, acceleration),
                            "acceleration", shown));
    }
    EXPECT_EQ(Korvane_JogRel(nullptr, 0, 1.0f, 1.0f), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_EmergencyStop(nullptr), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_FeedHold(nullptr), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_Resume(nullptr), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(inputsBeforeFence(), Inputs{});
}

// --- Replies -----------------------------------------------------------------------------

TEST_F(MotionCommands, ErrorOnFirstRangeLineStopsTheSecond) {
    controller.respond([](const test::Input& in) {
        if (in.is('?')) return test::reply("<Idle>\r\n");
        return test::reply(in.line.find("max_travel") != std::string::npos ? "error:5\r\n"
                                                                           : "ok\r\n");
    });
    EXPECT_EQ(Korvane_SetSoftLimitRange(handle, 1, 100.0f, 5.0f), KORVANE_FIRMWARE_ERROR);
    EXPECT_STREQ(Korvane_GetLastError(handle),
                 "Firmware error: error:5 (homing is disabled in the controller's settings)");
    // The empty line clears the error a controller latches, which would refuse the next line.
    EXPECT_EQ(inputsBeforeFence(), (Inputs{"$axes/y/max_travel_mm=100.000", ""}));
}

TEST_F(MotionCommands, ErrorOnSecondRangeLineIsTheResult) {
    controller.respond([](const test::Input& in) {
        if (in.is('?')) return test::reply("<Idle>\r\n");
        return test::reply(in.line.find("homing") != std::string::npos ? "error:6\r\n" : "ok\r\n");
    });
    EXPECT_EQ(Korvane_SetSoftLimitRange(handle, 1, 100.0f, 5.0f), KORVANE_FIRMWARE_ERROR);
    EXPECT_STREQ(Korvane_GetLastError(handle),
                 "Firmware error: error:6 (the step pulse time is below the minimum the controller "
                 "accepts)");
    EXPECT_EQ(inputsBeforeFence(),
              (Inputs{"$axes/y/max_travel_mm=100.000", "?", "$axes/y/homing/mpos_mm=5.000", ""}));
}

TEST_F(MotionCommands, OkWithoutStatusReportTimesOut) {
    controller.answerQueries("");
    const test::Clock::time_point start = test::Clock::now();
    EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_TIMEOUT);
    EXPECT_GE(test::Clock::now() - start, 450ms);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Timeout waiting for response");
    EXPECT_EQ(inputsBeforeFence(), (Inputs{"$J=G91 x1.000 F100", "?"}));
}

// Settings wait two seconds for their reply and jogs half a second, also for the replies
// still owed to earlier lines; a stop gives up after one second without a report. A silent
// controller shows each limit.
TEST_F(MotionCommands, SilenceTimesOutAtEachCommandsLimit) {
    controller.answer("", "");
    const auto spentOn = [&](auto call, const char* message) {
        const test::Clock::time_point start = test::Clock::now();
        EXPECT_EQ(call(), KORVANE_TIMEOUT);
        EXPECT_STREQ(Korvane_GetLastError(handle), message);
        return test::Clock::now() - start;
    };
    constexpr char kSilence[] = "Timeout waiting for response";
    constexpr char kOutOfStep[] = "Controller out of step: replies to earlier commands never came";
    const auto setting =
        spentOn([&] { return Korvane_SetAcceleration(handle, 0, 10.0f); }, kSilence);
    EXPECT_GE(setting, 1950ms);
    EXPECT_LT(setting, 3500ms);
    // The setting's reply is still owed: the jog waits for it, not for its own.
    const auto owed = spentOn([&] { return Korvane_JogAbs(handle, 0, 1.0f, 100.0f); }, kOutOfStep);
    EXPECT_GE(owed, 450ms);
    EXPECT_LT(owed, 1500ms);
    // The account started afresh: the next jog is written and waits for its own reply.
    const auto jog = spentOn([&] { return Korvane_JogAbs(handle, 0, 2.0f, 100.0f); }, kSilence);
    EXPECT_GE(jog, 450ms);
    EXPECT_LT(jog, 1500ms);
    EXPECT_EQ(controller.lines(),
              (Inputs{"$axes/x/acceleration_mm_per_sec2=10.000", "$J=G90 x2.000 F100"}));
    const auto stop = spentOn([&] { return Korvane_EmergencyStop(handle); }, kSilence);
    EXPECT_GE(stop, 950ms);
    EXPECT_LT(stop, 1900ms);
}

// A late Idle report that arrives before a jog's "ok" neither settles the jog nor goes into
// the cache, where it would make the next feed hold a silent no-op while the machine moves.
TEST_F(MotionCommands, ReportBeforeOkIsNeitherTheAnswerNorCached) {
    controller.respond([](const test::Input& in) {
        if (in.is('?')) return test::reply("<Jog|MPos:1,0,0>\r\n");
        if (in.realtime) return test::Script{};
        return test::Script{{0, "<Idle>\r\n"}, {30, "ok\r\n"}};
    });
    EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_SUCCESS);
    EXPECT_EQ(inputsBeforeFence(), (Inputs{"$J=G91 x1.000 F100", "?", "0x85", "!", "?"}));
}

// The stop is made by the real-time bytes and confirmed by a report; "$ES" only follows.
// Refused, accepted or never answered, it leaves the result at 0.
TEST_F(MotionCommands, EmergencyStopSucceedsOnceAtRestWhateverEsGets) {
    struct Case {
        const char* reply;
        Inputs lines;
    };
    // A refusal is followed by the empty line that clears a latched error. The silent case
    // comes last: its "$ES" stays owed.
    for (const Case& c :
         {Case{"error:2\r\n", {"$ES", ""}}, Case{"ok\r\n", {"$ES"}}, Case{"", {"$ES"}}}) {
        SCOPED_TRACE(c.reply);
        controller.answerLines(c.reply);
        controller.clear();
        EXPECT_EQ(Korvane_EmergencyStop(handle), KORVANE_SUCCESS);
        const Inputs wire = inputsBeforeFence();
        ASSERT_GE(wire.size(), 2u);
        EXPECT_EQ(Inputs(wire.begin(), wire.begin() + 2), (Inputs{"!", "?"}))
            << "the stop bytes come first, before any line";
        EXPECT_EQ(withoutPolls(Inputs(wire.begin() + 2, wire.end())), c.lines);
    }
}

TEST_F(MotionCommands, SuccessLeavesAnEarlierMessage) {
    leaveFirmwareError();
    EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_EnableSoftLimits(handle, 0, 1), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
    EXPECT_STREQ(
        Korvane_GetLastError(handle),
        "Firmware error: error:9 (motion commands are locked out during an alarm or a jog)");
}

TEST_F(MotionCommands, UnpluggedControllerFailsWrites) {
    cacheState("<Run>", KORVANE_STATE_RUN);
    controller.unplug();
    EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_WRITE_FAILED);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Serial write failed for: $J=G91 x1.000 F100");
    EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_WRITE_FAILED);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Serial write failed");
    EXPECT_EQ(Korvane_SetSoftLimitRange(handle, 2, 1.0f, 2.0f), KORVANE_WRITE_FAILED);
    EXPECT_STREQ(Korvane_GetLastError(handle),
                 "Serial write failed for: $axes/z/max_travel_mm=1.000");
}

// --- Feed hold and resume ----------------------------------------------------------------

TEST_F(MotionCommands, FeedHoldAfterIdleWritesNothing) {
    cacheState("<Idle>", KORVANE_STATE_IDLE);
    controller.clear();
    EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_SUCCESS);
    EXPECT_EQ(inputsBeforeFence(), Inputs{});
}

// Velocity mode sets the machine moving without a new report, so the cached Idle from before
// the start must not swallow the hold. The controller ends a held jog for good, and so the
// hold ends velocity mode: no further jog line, a jog cancel so that nothing queued runs, and
// the next line goes out only once a report shows the machine at rest.
TEST_F(MotionCommands, FeedHoldInVelocityModeIsWrittenAndEndsIt) {
    cacheState("<Idle>", KORVANE_STATE_IDLE);
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine("$J=G91 x200.000 F600"));
    controller.clear();
    EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_SUCCESS) << "no longer refused";
    std::this_thread::sleep_for(300ms);  // several of a worker's beats: none writes a line
    const Inputs wire = inputsBeforeFence();
    ASSERT_GE(wire.size(), 3u);
    EXPECT_EQ(Inputs(wire.begin(), wire.begin() + 3), (Inputs{"0x85", "!", "?"}))
        << "cancel, hold and the marker query in one write";
    EXPECT_EQ(withoutPolls(Inputs(wire.begin() + 3, wire.end())), Inputs{"$J=G91 x1.000 F100"});
}

// The byte goes out at once and no reply is awaited: a silent controller does not delay it.
TEST_F(MotionCommands, FeedHoldInMotionWritesItsByteAndReadsNothing) {
    // A machine shown jogging gets the jog cancel first: some controllers ignore a hold
    // while jogging.
    const std::pair<const char*, Inputs> cases[] = {
        {"<Run>", {"!"}}, {"<Jog>", {"0x85", "!", "?"}}, {"<Hold:0>", {"!"}}};
    for (const auto& [report, expected] : cases) {
        SCOPED_TRACE(report);
        controller.answerQueries(std::string(report) + "\r\n");
        std::int32_t state = 0;
        ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
        controller.answerQueries("");
        controller.clear();
        const test::Clock::time_point start = test::Clock::now();
        EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_SUCCESS);
        EXPECT_LT(test::Clock::now() - start, 450ms);
        EXPECT_EQ(inputsBeforeFence(), expected);
        // A controller answers every query, the hold's own too; the next case's query then
        // passes over that older answer.
        if (expected.size() > 1) controller.send(std::string(report) + "\r\n");
    }
}

TEST_F(MotionCommands, ResumeAlwaysWritesItsByte) {
    for (const char* report : {"<Idle>", "<Hold:1>"}) {
        SCOPED_TRACE(report);
        controller.answerQueries(std::string(report) + "\r\n");
        std::int32_t state = 0;
        ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
        controller.answerQueries("");
        controller.clear();
        const test::Clock::time_point start = test::Clock::now();
        EXPECT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
        EXPECT_LT(test::Clock::now() - start, 450ms);
        EXPECT_TRUE(controller.waitForRealtime('~'));
        EXPECT_EQ(controller.received(), "~");
    }
}

// --- Velocity mode -----------------------------------------------------------------------

TEST_F(MotionCommands, VelocityModeRefusesMotionButNotTheStops) {
    cacheState("<Run>", KORVANE_STATE_RUN);
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine("$J=G91 x200.000 F600"));

    struct Refused {
        const char* name;
        ResultCode (*call)(DeviceHandle, std::int32_t);
    };
    const Refused refused[] = {
        {"JogAbs", [](DeviceHandle h, std::int32_t a) { return Korvane_JogAbs(h, a, 1, 100); }},
        {"JogRel", [](DeviceHandle h, std::int32_t a) { return Korvane_JogRel(h, a, 1, 100); }},
        {"SetPos", [](DeviceHandle h, std::int32_t a) { return Korvane_SetPos(h, a, 1); }},
        {"SetAcceleration",
         [](DeviceHandle h, std::int32_t a) { return Korvane_SetAcceleration(h, a, 1); }},
        {"EnableSoftLimits",
         [](DeviceHandle h, std::int32_t a) { return Korvane_EnableSoftLimits(h, a, 1); }},
        {"SetSoftLimitRange",
         [](DeviceHandle h, std::int32_t a) { return Korvane_SetSoftLimitRange(h, a, 1, 1); }},
        {"Home", [](DeviceHandle h, std::int32_t a) { return Korvane_Home(h, a); }},
    };
    for (const Refused& r : refused) {
        for (std::int32_t axis : {1, 6, -7}) {
            SCOPED_TRACE(std::string(r.name) + " axis " + std::to_string(axis));
            leaveFirmwareError();  // a fresh message each time shows the refusal sets its own
            EXPECT_EQ(r.call(handle, axis), KORVANE_VELOCITY_ACTIVE);
            EXPECT_STREQ(Korvane_GetLastError(handle), kVelocityMessage);
        }
    }
    // The refusals themselves wrote nothing: the jog line is the only line on the wire.
    EXPECT_EQ(controller.lines(), Inputs{"$J=G91 x200.000 F600"});

    controller.clear();
    EXPECT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_EmergencyStop(handle), KORVANE_SUCCESS);
    const Inputs wire = inputsBeforeFence();
    ASSERT_GE(wire.size(), 4u);
    EXPECT_EQ(Inputs(wire.begin(), wire.begin() + 4), (Inputs{"~", "0x85", "!", "?"}));
    EXPECT_EQ(withoutPolls(Inputs(wire.begin() + 4, wire.end())), Inputs{"$ES"});

    // The emergency stop ended velocity mode.
    EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_SUCCESS);
}

// The worker ended by itself while its last line was never answered: the machine may run it,
// so the emergency stop cancels it all the same.
TEST_F(MotionCommands, EmergencyStopAfterWorkerEndedStillCancels) {
    cacheState("<Idle>", KORVANE_STATE_IDLE);
    controller.answerLines("");
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine("$J=G91 x200.000 F600"));
    // The worker sees Alarm and ends by itself; the refusals stop once it has.
    cacheState("<Alarm:1>", KORVANE_STATE_ALARM);
    const test::Clock::time_point start = test::Clock::now();
    while (Korvane_Home(handle, 6) == KORVANE_VELOCITY_ACTIVE && test::Clock::now() - start < 2s) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(Korvane_Home(handle, 6), KORVANE_INVALID_ARGUMENT);
    controller.clear();
    EXPECT_EQ(Korvane_EmergencyStop(handle), KORVANE_SUCCESS);
    const Inputs wire = inputsBeforeFence();
    ASSERT_GE(wire.size(), 3u);
    EXPECT_EQ(Inputs(wire.begin(), wire.begin() + 3), (Inputs{"0x85", "!", "?"}));
    EXPECT_EQ(withoutPolls(Inputs(wire.begin() + 3, wire.end())), Inputs{"$ES"});
}

// A worker that never got a line onto the wire leaves nothing to cancel.
TEST_F(MotionCommands, EmergencyStopWithoutAnyJogLineWritesNoCancel) {
    cacheState("<Alarm:1>", KORVANE_STATE_ALARM);
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    const test::Clock::time_point start = test::Clock::now();
    while (Korvane_Home(handle, 6) == KORVANE_VELOCITY_ACTIVE && test::Clock::now() - start < 2s) {
        std::this_thread::sleep_for(10ms);
    }
    controller.clear();
    EXPECT_EQ(Korvane_EmergencyStop(handle), KORVANE_SUCCESS);
    const Inputs wire = inputsBeforeFence();
    ASSERT_GE(wire.size(), 2u);
    EXPECT_EQ(Inputs(wire.begin(), wire.begin() + 2), (Inputs{"!", "?"}));
    EXPECT_EQ(std::count(wire.begin(), wire.end(), "0x85"), 0);
}

TEST_F(MotionCommands, EmergencyStopWithFailedJogCancelSendsNothingMore) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine("$J=G91 x200.000 F600"));
    controller.unplug();
    // A "$ES" attempt would have replaced the message with its own write failure.
    EXPECT_EQ(Korvane_EmergencyStop(handle), KORVANE_WRITE_FAILED);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Serial write failed for jog cancel");
    EXPECT_EQ(Korvane_Home(handle, 6), KORVANE_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace korvane
