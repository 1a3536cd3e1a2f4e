// The four status queries and the device-UUID query, through the exports over a real pty.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "korvane/korvane.h"
#include "support/refusal.h"
#include "support/scripted_controller.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using test::PtyPair;
using test::Script;
using test::ScriptedController;

using test::msSince;

class StatusQueries : public ::testing::Test {
  protected:
    void SetUp() override {
        controller.answerQueries("<Idle|MPos:0.000,0.000,0.000>\r\n");
        ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
        controller.answerQueries("");
        controller.clear();
    }
    void TearDown() override {
        if (handle != nullptr) Korvane_Disconnect(handle);
    }

    // Answers "$device_uuid" with the given bytes (after the given script's delays).
    void answerUuidWith(Script script) {
        controller.respond([script](const test::Input& in) {
            return in.isLine("$device_uuid") ? script : Script{};
        });
    }

    // Leaves a known message in the connection, to show that later calls keep or replace it.
    void leaveFirmwareError() {
        controller.answerQueries("error:99\r\n");
        std::int32_t state = 0;
        ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_FIRMWARE_ERROR);
        ASSERT_STREQ(Korvane_GetLastError(handle), "Firmware error: error:99");
        controller.answerQueries("");
        controller.clear();
    }

    // Everything written before this call reaches the controller ahead of the resume byte.
    std::string receivedBeforeFence() {
        EXPECT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
        EXPECT_TRUE(controller.waitForRealtime('~'));
        std::string all = controller.received();
        EXPECT_FALSE(all.empty());
        if (!all.empty()) all.pop_back();
        return all;
    }

    PtyPair pty;
    ScriptedController controller{pty};
    DeviceHandle handle = nullptr;
};

TEST_F(StatusQueries, NullHandleComesBeforeEveryOtherCheck) {
    float positions[6];
    std::int32_t value = 0;
    char buffer[8];
    EXPECT_EQ(Korvane_GetState(nullptr, nullptr), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_GetState(nullptr, &value), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_GetPosition(nullptr, nullptr, nullptr), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_GetPosition(nullptr, positions, &value), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_GetSpeed(nullptr, nullptr), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_GetLimits(nullptr, nullptr), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_GetDeviceUUID(nullptr, nullptr, 0), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(Korvane_GetDeviceUUID(nullptr, buffer, sizeof buffer), KORVANE_INVALID_HANDLE);
    EXPECT_EQ(receivedBeforeFence(), "");
}

TEST_F(StatusQueries, NullOutPointerIsRefusedWithoutTrafficAndNamed) {
    leaveFirmwareError();
    using test::refused;
    std::int32_t count = 42;
    char buffer[4] = {'a', 'b', 'c', 'd'};
    EXPECT_TRUE(refused(handle, Korvane_GetState(handle, nullptr), "state", "null"));
    EXPECT_TRUE(refused(handle, Korvane_GetPosition(handle, nullptr, &count), "positions", "null"));
    EXPECT_TRUE(refused(handle, Korvane_GetSpeed(handle, nullptr), "feed", "null"));
    EXPECT_TRUE(refused(handle, Korvane_GetLimits(handle, nullptr), "limits", "null"));
    EXPECT_TRUE(refused(handle, Korvane_GetDeviceUUID(handle, nullptr, 16), "buffer", "null"));
    EXPECT_STREQ(Korvane_GetLastError(handle),
                 "Invalid buffer: null (accepted: a non-null pointer)");
    EXPECT_TRUE(refused(handle, Korvane_GetDeviceUUID(handle, buffer, 0), "length", "0"));
    EXPECT_EQ(count, 42);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(receivedBeforeFence(), "");
}

TEST_F(StatusQueries, EachQueryAsksAfreshAndCopiesItsField) {
    controller.answerQueries("<Run|MPos:1.5,-2.25,3|FS:250,100|Lim:1,0,1,0>\r\n");
    std::int32_t state = 0;
    ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
    EXPECT_EQ(state, KORVANE_STATE_RUN);

    float positions[6] = {9, 9, 9, 9, 9, 9};
    std::int32_t count = 9;
    ASSERT_EQ(Korvane_GetPosition(handle, positions, &count), KORVANE_SUCCESS);
    const float expected[6] = {1.5f, -2.25f, 3.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(positions[i], expected[i]) << i;
    EXPECT_EQ(count, 3);

    float feed = 0;
    ASSERT_EQ(Korvane_GetSpeed(handle, &feed), KORVANE_SUCCESS);
    EXPECT_EQ(feed, 250.0f);

    std::int32_t limits[4] = {7, 7, 7, 7};
    ASSERT_EQ(Korvane_GetLimits(handle, limits), KORVANE_SUCCESS);
    EXPECT_EQ((std::array<std::int32_t, 4>{limits[0], limits[1], limits[2], limits[3]}),
              (std::array<std::int32_t, 4>{1, 0, 1, 0}));

    // A changed answer shows up at once: nothing is served from the cache.
    controller.answerQueries("<Hold:1|WPos:4,5,6,7,8,9>\r\n");
    ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
    EXPECT_EQ(state, KORVANE_STATE_HOLD);
    ASSERT_EQ(Korvane_GetPosition(handle, positions, nullptr), KORVANE_SUCCESS);
    EXPECT_EQ(positions[5], 9.0f);
    EXPECT_EQ(positions[0], 4.0f);
    EXPECT_EQ(count, 3) << "a null count pointer is left alone";

    // One real-time "?" per call and nothing else.
    EXPECT_EQ(receivedBeforeFence(), "??????");
}

TEST_F(StatusQueries, MissingFeedAndLimitFieldsGiveZeros) {
    controller.answerQueries("<Idle|MPos:1,2>\r\n");
    float feed = 5.0f;
    std::int32_t limits[4] = {7, 7, 7, 7};
    ASSERT_EQ(Korvane_GetSpeed(handle, &feed), KORVANE_SUCCESS);
    ASSERT_EQ(Korvane_GetLimits(handle, limits), KORVANE_SUCCESS);
    EXPECT_EQ(feed, 0.0f);
    for (std::int32_t limit : limits) EXPECT_EQ(limit, 0);

    controller.answerQueries("<Idle>\r\n");
    float positions[6] = {9, 9, 9, 9, 9, 9};
    std::int32_t count = 9;
    ASSERT_EQ(Korvane_GetPosition(handle, positions, &count), KORVANE_SUCCESS);
    for (float p : positions) EXPECT_EQ(p, 0.0f);
    EXPECT_EQ(count, 0);
}

// Sentinel values in every out-parameter, checked after a failed call.
struct Outputs {
    std::int32_t state = -5;
    float positions[6] = {-5, -5, -5, -5, -5, -5};
    std::int32_t count = -5;
    float feed = -5;
    std::int32_t limits[4] = {-5, -5, -5, -5};

    bool untouched() const {
        Outputs fresh;
        return std::memcmp(this, &fresh, sizeof fresh) == 0;
    }
};

TEST_F(StatusQueries, ErrorLineFailsEveryQueryAndLeavesOutputsAlone) {
    controller.answerQueries("ok\r\nerror:20\r\n");
    Outputs out;
    EXPECT_EQ(Korvane_GetState(handle, &out.state), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(Korvane_GetPosition(handle, out.positions, &out.count), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(Korvane_GetSpeed(handle, &out.feed), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(Korvane_GetLimits(handle, out.limits), KORVANE_FIRMWARE_ERROR);
    EXPECT_TRUE(out.untouched());
    EXPECT_STREQ(Korvane_GetLastError(handle),
                 "Firmware error: error:20 (an unsupported or invalid G-code command)");
}

TEST_F(StatusQueries, NoReportTimesOutAfterAboutHalfASecond) {
    Outputs out;
    const auto check = [&](const char* name, auto call) {
        const test::Clock::time_point start = test::Clock::now();
        EXPECT_EQ(call(), KORVANE_TIMEOUT) << name;
        const long long spent = msSince(start);
        EXPECT_GE(spent, 450) << name;
        EXPECT_LT(spent, 1500) << name;
        EXPECT_STREQ(Korvane_GetLastError(handle), "Timeout waiting for response") << name;
    };
    check("state", [&] { return Korvane_GetState(handle, &out.state); });
    check("position", [&] { return Korvane_GetPosition(handle, out.positions, &out.count); });
    // Talk that holds no status report with a known state counts as silence.
    controller.answerQueries("ok\r\n<Unknown|MPos:1>\r\n<Idle|F:1\r\n[MSG:x]\r\n");
    check("speed", [&] { return Korvane_GetSpeed(handle, &out.feed); });
    check("limits", [&] { return Korvane_GetLimits(handle, out.limits); });
    EXPECT_TRUE(out.untouched());
}

TEST_F(StatusQueries, UnpluggedControllerFailsTheWrite) {
    controller.unplug();
    Outputs out;
    EXPECT_EQ(Korvane_GetState(handle, &out.state), KORVANE_WRITE_FAILED);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Serial write failed");
    EXPECT_EQ(Korvane_GetLimits(handle, out.limits), KORVANE_WRITE_FAILED);
    char buffer[8] = "keep";
    EXPECT_EQ(Korvane_GetDeviceUUID(handle, buffer, sizeof buffer), KORVANE_WRITE_FAILED);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Serial write failed");
    EXPECT_STREQ(buffer, "keep");
    EXPECT_TRUE(out.untouched());
}

// Replies that arrived before a UUID query belong to no call: a stale refusal does not fail
// it, and a stale line is not its answer.
TEST_F(StatusQueries, EarlierRepliesDoNotAnswerTheUuidQuery) {
    controller.send("error:5\r\n<Door:1>\r\nid=stale\r\n");
    std::this_thread::sleep_for(50ms);
    answerUuidWith(test::reply("id=fresh\r\nok\r\n"));
    char buffer[16] = {};
    ASSERT_EQ(Korvane_GetDeviceUUID(handle, buffer, sizeof buffer), KORVANE_SUCCESS);
    EXPECT_STREQ(buffer, "fresh");
}

// --- Device UUID -------------------------------------------------------------------------

struct UuidCase {
    const char* name;
    std::string reply;
    std::string value;
};

class UuidAnswer : public StatusQueries, public ::testing::WithParamInterface<UuidCase> {};

TEST_P(UuidAnswer, TakesTheFirstOtherLine) {
    answerUuidWith(test::reply(GetParam().reply));
    char buffer[300];
    std::memset(buffer, 'Z', sizeof buffer);
    ASSERT_EQ(Korvane_GetDeviceUUID(handle, buffer, sizeof buffer), KORVANE_SUCCESS);
    EXPECT_EQ(std::string(buffer), GetParam().value);
    for (std::size_t i = GetParam().value.size(); i < sizeof buffer; ++i) {
        EXPECT_EQ(buffer[i], '\0') << "byte " << i;
    }
    EXPECT_EQ(controller.lines(), std::vector<std::string>{"$device_uuid"});
    EXPECT_EQ(controller.realtimeBytes(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Replies, UuidAnswer,
    ::testing::Values(
        UuidCase{"ValueAfterEquals", "device_uuid=7f3a-0042\r\n", "7f3a-0042"},
        UuidCase{"WholeLineWithoutEquals", "7f3a-0042\r\n", "7f3a-0042"},
        UuidCase{"EverythingAfterFirstEquals", "a=b=c\r\n", "b=c"},
        UuidCase{"EndsWithEquals", "device_uuid=\r\n", ""},
        UuidCase{"OkAndReportsSkipped", "ok\r\n<Idle|MPos:1,2,3>\r\n\r\nid=9\r\nid=10\r\n", "9"},
        UuidCase{"AnythingStartingWithOkSkipped", "okay=1\r\nid=2\r\n", "2"},
        UuidCase{"UnparsableReportSkipped", "<Bogus|x>\r\n<Idle\r\nid=3\r\n", "3"},
        UuidCase{"FirstOtherLineWhateverItHolds", "[MSG:hello]\r\nid=4\r\n", "[MSG:hello]"},
        UuidCase{"LfAloneAndCrInside", "u\ru\nid=5\n", "uu"},
        UuidCase{"LineCutAt255Characters", "id=" + std::string(297, 'x') + "\r\n",
                 std::string(252, 'x')}),
    [](const ::testing::TestParamInfo<UuidCase>& param) { return std::string(param.param.name); });

TEST_F(StatusQueries, UuidErrorLineFailsAndLeavesBufferAlone) {
    answerUuidWith(test::reply("error:3\r\nid=1\r\n"));
    char buffer[8] = "keep";
    EXPECT_EQ(Korvane_GetDeviceUUID(handle, buffer, sizeof buffer), KORVANE_FIRMWARE_ERROR);
    EXPECT_STREQ(buffer, "keep");
    EXPECT_STREQ(Korvane_GetLastError(handle),
                 "Firmware error: error:3 (the $ command is not recognised or not supported)");
    // A controller that latches the error would refuse the next line too; the empty line
    // clears it.
    EXPECT_TRUE(controller.waitForLine("", 1000ms));
}

TEST_F(StatusQueries, UuidIsCutToTheBufferAndNothingIsWrittenPastIt) {
    answerUuidWith(test::reply("id=0123456789\r\nok\r\n"));
    for (std::size_t length : {1u, 4u, 10u, 11u, 20u}) {
        char buffer[32];
        std::memset(buffer, 'G', sizeof buffer);
        ASSERT_EQ(Korvane_GetDeviceUUID(handle, buffer, length), KORVANE_SUCCESS) << length;
        const std::string expected = std::string("0123456789").substr(0, length - 1);
        EXPECT_EQ(std::string(buffer), expected) << length;
        for (std::size_t i = expected.size(); i < length; ++i) {
            EXPECT_EQ(buffer[i], '\0') << length << " byte " << i;
        }
        for (std::size_t i = length; i < sizeof buffer; ++i) {
            EXPECT_EQ(buffer[i], 'G') << length << " guard " << i;
        }
    }
}

TEST_F(StatusQueries, UuidSilenceTimesOutAfterTwoSeconds) {
    char buffer[8] = "keep";
    const test::Clock::time_point start = test::Clock::now();
    EXPECT_EQ(Korvane_GetDeviceUUID(handle, buffer, sizeof buffer), KORVANE_TIMEOUT);
    // The library counts whole milliseconds, so its 2000 ms may end a fraction early on this clock.
    const long long spent = msSince(start);
    EXPECT_GE(spent, 1900);
    EXPECT_LT(spent, 3500);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Timeout waiting for UUID");
    EXPECT_STREQ(buffer, "keep");
    EXPECT_EQ(controller.lines(), std::vector<std::string>{"$device_uuid"});
}

// A slow link or a busy controller may deliver the answer in pieces spread over several of
// the query's reads; the line is kept and completed across them.
TEST_F(StatusQueries, UuidArrivingSlowlyIsReadWhole) {
    const std::string line = "uuid=0f1e2d3c-4b5a\r\n";
    Script byteByByte;
    for (char c : line) byteByByte.push_back({30, std::string(1, c)});
    byteByByte.push_back({0, "ok\r\n"});
    answerUuidWith(byteByByte);
    char buffer[64] = {};
    ASSERT_EQ(Korvane_GetDeviceUUID(handle, buffer, sizeof buffer), KORVANE_SUCCESS);
    EXPECT_STREQ(buffer, "0f1e2d3c-4b5a");

    answerUuidWith(Script{{40, "uuid=abc"}, {120, "def\r\nok\r\n"}});
    ASSERT_EQ(Korvane_GetDeviceUUID(handle, buffer, sizeof buffer), KORVANE_SUCCESS);
    EXPECT_STREQ(buffer, "abcdef");
}

TEST_F(StatusQueries, UuidQueryLeavesTheStatusCacheAlone) {
    controller.answerQueries("<Run|MPos:1,2,3>\r\n");
    std::int32_t state = 0;
    ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
    ASSERT_EQ(state, KORVANE_STATE_RUN);

    // The Idle report in the answer is skipped, not cached: a feed hold still sees Run and
    // writes its byte, where a cached Idle would make it write nothing.
    answerUuidWith(test::reply("<Idle|MPos:0,0,0>\r\nid=1\r\n"));
    char buffer[8];
    ASSERT_EQ(Korvane_GetDeviceUUID(handle, buffer, sizeof buffer), KORVANE_SUCCESS);
    EXPECT_STREQ(buffer, "1");
    controller.clear();
    ASSERT_EQ(Korvane_FeedHold(handle), KORVANE_SUCCESS);
    EXPECT_EQ(receivedBeforeFence(), "!");

    // The connection still serves ordinary queries afterwards.
    controller.respond(nullptr);
    controller.answerQueries("<Idle>\r\n");
    ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
    EXPECT_EQ(state, KORVANE_STATE_IDLE);
}

}  // namespace
}  // namespace korvane
