// The status-report parser, case by case.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "protocol/status_report.h"

namespace korvane {
namespace {

struct ParseCase {
    const char* name;
    std::string text;
    bool accepted;
    std::int32_t state;
    std::vector<float> positions;  // all six
    std::int32_t positionCount;
    float feed;
    std::vector<std::int32_t> limits;  // all four
};

class ParseTable : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTable, FillsEveryField) {
    const ParseCase& c = GetParam();
    StatusReport r;
    EXPECT_EQ(parseStatusReport(c.text.c_str(), &r), c.accepted);
    EXPECT_EQ(r.state, c.state);
    for (int i = 0; i < kAxisCount; ++i) EXPECT_FLOAT_EQ(r.positions[i], c.positions[i]) << i;
    EXPECT_EQ(r.positionCount, c.positionCount);
    EXPECT_FLOAT_EQ(r.feed, c.feed);
    for (int i = 0; i < kLimitCount; ++i) EXPECT_EQ(r.limits[i], c.limits[i]) << i;
}

const std::vector<float> kZero6(6, 0.0f);
const std::vector<std::int32_t> kZero4(4, 0);

INSTANTIATE_TEST_SUITE_P(
    StatusReports, ParseTable,
    ::testing::Values(
        ParseCase{"IdleWithPositions",
                  "<Idle|MPos:1.000,2.000,3.000|FS:0,0>",
                  true,
                  1,
                  {1, 2, 3, 0, 0, 0},
                  3,
                  0,
                  kZero4},
        ParseCase{"HoldSubstateWpos",
                  "<Hold:0|WPos:-5.5,0,10>",
                  true,
                  4,
                  {-5.5f, 0, 10, 0, 0, 0},
                  3,
                  0,
                  kZero4},
        ParseCase{"StateOnly", "<Idle>", true, 1, kZero6, 0, 0, kZero4},
        ParseCase{"DoorSubstate", "<Door:1>", true, 8, kZero6, 0, 0, kZero4},
        ParseCase{"EveryStateWordCheck", "<Check|F:12.5>", true, 9, kZero6, 0, 12.5f, kZero4},
        ParseCase{"UnknownStateStillParsesFields",
                  "<Bogus|MPos:1,2>",
                  false,
                  0,
                  {1, 2, 0, 0, 0, 0},
                  2,
                  0,
                  kZero4},
        ParseCase{"EmptyStateField", "<|MPos:1,2>", false, 0, {1, 2, 0, 0, 0, 0}, 2, 0, kZero4},
        ParseCase{"LowerCaseStateIsUnknown", "<idle>", false, 0, kZero6, 0, 0, kZero4},
        ParseCase{"EightPositionsFillSix",
                  "<Run|MPos:1,2,3,4,5,6,7,8>",
                  true,
                  2,
                  {1, 2, 3, 4, 5, 6},
                  6,
                  0,
                  kZero4},
        ParseCase{
            "EmptyValueEndsList", "<Run|MPos:1,,3>", true, 2, {1, 0, 0, 0, 0, 0}, 1, 0, kZero4},
        ParseCase{"LaterPositionsOverwrite",
                  "<Jog|MPos:1,2,3|WPos:4,5>",
                  true,
                  3,
                  {4, 5, 3, 0, 0, 0},
                  2,
                  0,
                  kZero4},
        ParseCase{"TrailingComma", "<Idle|MPos:1,2,3,>", true, 1, {1, 2, 3, 0, 0, 0}, 3, 0, kZero4},
        ParseCase{"EmptyPositions", "<Idle|MPos:>", true, 1, kZero6, 0, 0, kZero4},
        ParseCase{"SpaceSeparatedPositions",
                  "<Idle|MPos:1 2  3>",
                  true,
                  1,
                  {1, 2, 3, 0, 0, 0},
                  3,
                  0,
                  kZero4},
        ParseCase{
            "OtherSeparatorEndsList", "<Idle|MPos:1;2>", true, 1, {1, 0, 0, 0, 0, 0}, 1, 0, kZero4},
        ParseCase{"ExponentAndSigns",
                  "<Idle|MPos:+1e2,-2.5E-1,.5>",
                  true,
                  1,
                  {100, -0.25f, 0.5f, 0, 0, 0},
                  3,
                  0,
                  kZero4},
        ParseCase{"FeedFromF", "<Run|F:250>", true, 2, kZero6, 0, 250, kZero4},
        ParseCase{"FeedFromFsFirstValue", "<Run|FS:500,1000>", true, 2, kZero6, 0, 500, kZero4},
        ParseCase{"LastFeedFieldWins", "<Run|FS:500,0|F:20>", true, 2, kZero6, 0, 20, kZero4},
        ParseCase{"FeedNothingConverts", "<Run|FS:abc>", true, 2, kZero6, 0, 0, kZero4},
        ParseCase{"LimitsPartial", "<Idle|Lim:1,0>", true, 1, kZero6, 0, 0, {1, 0, 0, 0}},
        ParseCase{"LimitsEmpty", "<Idle|Lim:>", true, 1, kZero6, 0, 0, kZero4},
        ParseCase{"LimitsClampHigh",
                  "<Idle|Lim:99999999999999999999,-99999999999,7,8,9>",
                  true,
                  1,
                  kZero6,
                  0,
                  0,
                  {INT32_MAX, INT32_MIN, 7, 8}},
        ParseCase{
            "LimitsStopAtFirstNonNumber", "<Idle|Lim:3,x,5>", true, 1, kZero6, 0, 0, {3, 0, 0, 0}},
        ParseCase{
            "LimitsSignsAndSpaces", "<Idle|Lim: +4, -5>", true, 1, kZero6, 0, 0, {4, -5, 0, 0}},
        ParseCase{"FirstFieldNeverAPositionField", "<MPos:1,2|Idle>", false, 0, kZero6, 0, 0,
                  kZero4},
        ParseCase{"UnknownFieldsIgnored",
                  "<Idle|Ov:100,100,100|Pn:XYZ|MPos:1>",
                  true,
                  1,
                  {1, 0, 0, 0, 0, 0},
                  1,
                  0,
                  kZero4},
        ParseCase{"TextAroundBrackets", "junk<Idle|F:3>more>", true, 1, kZero6, 0, 3, kZero4},
        ParseCase{"EmptyFieldsBetweenBars", "<Idle||F:4|>", true, 1, kZero6, 0, 4, kZero4}),
    [](const ::testing::TestParamInfo<ParseCase>& param) { return std::string(param.param.name); });

StatusReport sentinel() {
    StatusReport r;
    r.state = 77;
    r.positions[5] = 9.5f;
    r.positionCount = 4;
    r.feed = 3.0f;
    r.limits[3] = -1;
    return r;
}

TEST(StatusReportRejects, WithoutBracketsLeavesRecordUntouched) {
    for (const char* text : {"Idle|MPos:1", "<Idle|MPos:1", "Idle>", "", ">Idle<"}) {
        StatusReport r = sentinel();
        EXPECT_FALSE(parseStatusReport(text, &r)) << text;
        EXPECT_EQ(r, sentinel()) << text;
    }
    StatusReport r;
    EXPECT_FALSE(parseStatusReport(nullptr, &r));
    EXPECT_FALSE(parseStatusReport("<Idle>", nullptr));
}

TEST(StatusReportRejects, BodyOf512CharactersButAccepts511) {
    const std::string prefix = "Idle|F:1|";
    std::string body511 = prefix + std::string(511 - prefix.size(), 'x');
    StatusReport r = sentinel();
    EXPECT_TRUE(parseStatusReport(("<" + body511 + ">").c_str(), &r));
    EXPECT_EQ(r.state, KORVANE_STATE_IDLE);
    EXPECT_FLOAT_EQ(r.feed, 1.0f);

    r = sentinel();
    EXPECT_FALSE(parseStatusReport(("<" + body511 + "y>").c_str(), &r));
    EXPECT_EQ(r, sentinel());
}

TEST(StatusReportNumbers, OutOfRangeAndSpecialValuesStayDefined) {
    StatusReport r;
    ASSERT_TRUE(parseStatusReport("<Idle|MPos:1e999,-1e999,1e-999,nan,inf>", &r));
    EXPECT_EQ(r.positionCount, 5);
    EXPECT_TRUE(std::isinf(r.positions[0]) && r.positions[0] > 0);
    EXPECT_TRUE(std::isinf(r.positions[1]) && r.positions[1] < 0);
    EXPECT_EQ(r.positions[2], 0.0f);
    EXPECT_TRUE(std::isnan(r.positions[3]));
    EXPECT_TRUE(std::isinf(r.positions[4]));
}

TEST(StatusReportNumbers, NulInsideTextEndsIt) {
    const char text[] = "<Idle|F:5\0|F:9>";
    StatusReport r;
    EXPECT_FALSE(parseStatusReport(text, &r));  // the '>' lies beyond the terminator
}

}  // namespace
}  // namespace korvane
