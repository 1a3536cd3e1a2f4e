// The argument rules that the library and the tool share: where each range ends, and the
// one wording of a refusal in any locale and any buffer size.
#include "arguments/argument_rules.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace korvane::rules {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::string refusal(const Rule& rule, float value) {
    char text[kRefusalSize];
    formatRefusal(text, sizeof text, rule, value);
    return text;
}

TEST(ArgumentRules, RangesEndWhereTheWireNeedsThem) {
    // The feed word is the feed truncated: 1 is the smallest that is not F0, and the largest
    // float below 2^31 is the largest that has a 32-bit word.
    EXPECT_FALSE(acceptsFeed(std::nextafter(1.0f, 0.0f)));
    EXPECT_TRUE(acceptsFeed(1.0f));
    EXPECT_TRUE(acceptsFeed(std::nextafter(2147483648.0f, 0.0f)));
    EXPECT_FALSE(acceptsFeed(2147483648.0f));
    EXPECT_FALSE(acceptsFeed(kNaN));
    // The velocity's sign is its direction; its magnitude has the feed's upper end.
    for (float sign : {1.0f, -1.0f}) {
        EXPECT_TRUE(acceptsVelocity(sign * kMinimumVelocity));
        EXPECT_FALSE(acceptsVelocity(sign * std::nextafter(kMinimumVelocity, 0.0f)));
        EXPECT_TRUE(acceptsVelocity(sign * std::nextafter(2147483648.0f, 0.0f)));
        EXPECT_FALSE(acceptsVelocity(sign * 2147483648.0f));
        EXPECT_FALSE(acceptsVelocity(sign * kInf));
    }
    EXPECT_FALSE(acceptsVelocity(kNaN));
    EXPECT_FALSE(acceptsAcceleration(std::numeric_limits<float>::denorm_min() * 0.0f));
    EXPECT_TRUE(acceptsAcceleration(std::numeric_limits<float>::denorm_min()));
    EXPECT_TRUE(acceptsAcceleration(std::numeric_limits<float>::max()));
    EXPECT_FALSE(acceptsAcceleration(kInf));
    EXPECT_TRUE(acceptsFinite(-std::numeric_limits<float>::max()));
    EXPECT_FALSE(acceptsFinite(-kInf));
    EXPECT_FALSE(acceptsFinite(kNaN));
    EXPECT_TRUE(acceptsHomingAxis(-1));
    EXPECT_FALSE(acceptsAxis(-1));
    EXPECT_FALSE(acceptsHomingAxis(-2));
    EXPECT_FALSE(acceptsHomingAxis(std::numeric_limits<std::int32_t>::min()));
    EXPECT_FALSE(acceptsAxis(6));
}

TEST(ArgumentRules, RefusalsShowTheValueAsTheSameFloatInEveryLocale) {
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous != nullptr ? previous : "C";
    // A comma locale where one is installed; the text must not change either way.
    std::setlocale(LC_ALL, "de_DE.UTF-8");
    EXPECT_EQ(refusal(kFeed, 0.5f),
              "Invalid feed: 0.5 (accepted: " + std::string(kFeed.accepted) + ")");
    EXPECT_EQ(refusal(kVelocity, -0.05f).find("Invalid velocity: -0.05 ("), 0u);
    EXPECT_EQ(refusal(kPosition, kNaN).find("Invalid position: nan ("), 0u);
    EXPECT_EQ(refusal(kPosition, -kInf).find("Invalid position: -inf ("), 0u);
    EXPECT_EQ(refusal(kFeed, 1e30f).find("Invalid feed: 1e+30 ("), 0u);
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(ArgumentRules, ARefusalIsCutToTheBufferAndAlwaysTerminated) {
    char text[16];
    std::memset(text, 'x', sizeof text);
    formatRefusal(text, sizeof text, kFeed, "123456789012345");
    EXPECT_EQ(std::string(text), "Invalid feed: 1");
    char one[1] = {'x'};
    formatRefusal(one, sizeof one, kFeed, "0");
    EXPECT_EQ(one[0], '\0');
}

}  // namespace
}  // namespace korvane::rules
