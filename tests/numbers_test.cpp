// Number conversions on the wire: printf's "%.3f" and strtof/strtol rules, in any locale.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "protocol/numbers.h"
#include "protocol/status_report.h"
#include "velocity/jog_line.h"

namespace korvane {
namespace {

std::string fixed3(double v) {
    char buf[64];
    formatFixed3(v, buf, sizeof buf);
    return buf;
}

// Runs every test of this file once in the "C" locale and once in a locale whose decimal
// separator is a comma, as a GUI host would have set it.
class AnyLocale : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (setlocale(LC_ALL, GetParam()) == nullptr) {
            FAIL() << "locale " << GetParam() << " is not installed (the test command makes it)";
        }
        if (std::string(GetParam()) != "C") {
            char probe[16];
            std::snprintf(probe, sizeof probe, "%.1f", 1.5);
            ASSERT_STREQ(probe, "1,5") << "the locale must really use a decimal comma";
        }
    }
    void TearDown() override { setlocale(LC_ALL, "C"); }
};

TEST_P(AnyLocale, Fixed3IsTheNearestDecimalOfTheFloat) {
    EXPECT_EQ(fixed3(1.0f), "1.000");
    EXPECT_EQ(fixed3(1.2345f), "1.235");    // the float lies just above 1.2345
    EXPECT_EQ(fixed3(2.0005f), "2.000");    // the float lies just below 2.0005
    EXPECT_EQ(fixed3(-0.0001f), "-0.000");  // keeps its sign
    EXPECT_EQ(fixed3(10.5f), "10.500");
    EXPECT_EQ(fixed3(-500.1666666f), "-500.167");
    EXPECT_EQ(fixed3(std::numeric_limits<float>::quiet_NaN()), "nan");
    EXPECT_EQ(fixed3(-std::numeric_limits<float>::infinity()), "-inf");
    // Matches printf in the "C" locale for the largest finite float (a 76-character line).
    char expected[128];
    setlocale(LC_NUMERIC, "C");
    std::snprintf(expected, sizeof expected, "%.3f", double(std::numeric_limits<float>::max()));
    setlocale(LC_ALL, GetParam());
    EXPECT_EQ(fixed3(std::numeric_limits<float>::max()), expected);
}

TEST_P(AnyLocale, CommandFormatting) {
    char line[128];
    EXPECT_EQ(formatCommand(line, sizeof line, "$J=G90 %c%f F%d", 'z', double(10.5f), 300), 19);
    EXPECT_STREQ(line, "$J=G90 z10.500 F300");
    char small[8];
    EXPECT_EQ(formatCommand(small, sizeof small, "$axes/%c/%s", 'x', "soft"), 12);
    EXPECT_STREQ(small, "$axes/x");  // cut and terminated like snprintf
    EXPECT_EQ(formatCommand(line, sizeof line, "%d|%d", INT32_MIN, 0), 13);
    EXPECT_STREQ(line, "-2147483648|0");
}

TEST_P(AnyLocale, StatusReportNumbersUseAPoint) {
    StatusReport r;
    ASSERT_TRUE(parseStatusReport("<Idle|MPos:1.000,-2.5,3e1|FS:12.75,0>", &r));
    EXPECT_FLOAT_EQ(r.positions[0], 1.0f);
    EXPECT_FLOAT_EQ(r.positions[1], -2.5f);
    EXPECT_FLOAT_EQ(r.positions[2], 30.0f);
    EXPECT_FLOAT_EQ(r.feed, 12.75f);
    // A comma is a separator, never a decimal point.
    ASSERT_TRUE(parseStatusReport("<Idle|MPos:1,5>", &r));
    EXPECT_EQ(r.positionCount, 2);
}

TEST_P(AnyLocale, JogLinesUseAPoint) {
    char line[kJogLineSize];
    composeJogLine(5, 100.0f, line);
    EXPECT_STREQ(line, "$J=G91 c33.333 F100");
}

INSTANTIATE_TEST_SUITE_P(Locales, AnyLocale, ::testing::Values("C", "de_DE.UTF-8"),
                         [](const ::testing::TestParamInfo<const char*>& param) {
                             return std::string(param.param[0] == 'C' ? "C" : "CommaDecimal");
                         });

TEST(ParseFloatPrefix, FollowsStrtofRules) {
    struct Case {
        const char* text;
        float value;
        int consumed;
    };
    for (const Case& c :
         {Case{"  12.5,", 12.5f, 6}, Case{"+3", 3, 2}, Case{"-.5x", -0.5f, 3}, Case{"1e3", 1000, 3},
          Case{"1e", 1, 1}, Case{"abc", 0, 0}, Case{"--1", 0, 0}, Case{"+-1", 0, 0}, Case{"", 0, 0},
          Case{"-", 0, 0}, Case{"7.", 7, 2}}) {
        const char* end = nullptr;
        EXPECT_FLOAT_EQ(parseFloatPrefix(c.text, &end), c.value) << c.text;
        EXPECT_EQ(end - c.text, c.consumed) << c.text;
    }
    const char* end = nullptr;
    EXPECT_EQ(parseFloatPrefix("-1e-999", &end), 0.0f);
    EXPECT_TRUE(std::signbit(parseFloatPrefix("-1e-999", &end)));
    EXPECT_TRUE(std::isinf(parseFloatPrefix("123456789e300", &end)));
    EXPECT_EQ(parseFloatPrefix("0.0000000000000000000000000000000000000000000000001", &end), 0.0f);
    // The exponent's sign alone does not decide: 1e41 written with a negative exponent is
    // still too large, 1e-54 written with a positive one still too small.
    EXPECT_TRUE(std::isinf(
        parseFloatPrefix("1000000000000000000000000000000000000000000000000000e-10", &end)));
    EXPECT_EQ(
        parseFloatPrefix("0.00000000000000000000000000000000000000000000000000000000001e5", &end),
        0.0f);
}

TEST(ParseInt32Prefix, ClampsTo32BitsLikeStrtol) {
    struct Case {
        const char* text;
        std::int32_t value;
        int consumed;
    };
    for (const Case& c : {Case{"42,", 42, 2}, Case{" -7", -7, 3}, Case{"+0", 0, 2},
                          Case{"2147483647", INT32_MAX, 10}, Case{"2147483648", INT32_MAX, 10},
                          Case{"-2147483648", INT32_MIN, 11}, Case{"-2147483649", INT32_MIN, 11},
                          Case{"99999999999999999999999", INT32_MAX, 23}, Case{"x1", 0, 0},
                          Case{"-", 0, 0}, Case{"1.5", 1, 1}}) {
        const char* end = nullptr;
        EXPECT_EQ(parseInt32Prefix(c.text, &end), c.value) << c.text;
        EXPECT_EQ(end - c.text, c.consumed) << c.text;
    }
}

}  // namespace
}  // namespace korvane
