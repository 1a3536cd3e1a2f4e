// The meanings added to the controller's "error:N" and "ALARM:N" lines: every listed number is
// explained behind the line as it was, anything else stays exactly as the controller sent it.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "protocol/controller_codes.h"

namespace korvane {
namespace {

std::string explained(const std::string& line) {
    return ExplainedLine(line.c_str()).c_str();
}

// The numbers the table lists: errors 1..38 but for 18 and 19, alarms 1..10.
std::set<int> listedErrors() {
    std::set<int> codes;
    for (int n = 1; n <= 38; ++n) {
        if (n != 18 && n != 19) codes.insert(n);
    }
    return codes;
}

TEST(ControllerCodes, EveryListedNumberIsExplainedAfterTheLineAsItWas) {
    struct Family {
        std::string prefix;
        std::set<int> listed;
    };
    std::set<int> alarms;
    for (int n = 1; n <= 10; ++n) alarms.insert(n);
    for (const Family& family : {Family{"error:", listedErrors()}, Family{"ALARM:", alarms}}) {
        std::set<std::string> meanings;
        for (const int n : family.listed) {
            const std::string bare = family.prefix + std::to_string(n);
            const std::string text = explained(bare);
            SCOPED_TRACE(bare);
            // Callers that match on "Firmware error: error:15" keep matching.
            EXPECT_EQ(text.rfind(bare + " (", 0), 0u) << text;
            EXPECT_EQ(text.back(), ')');
            EXPECT_GT(text.size(), bare.size() + 3);
            meanings.insert(text.substr(bare.size()));
        }
        EXPECT_EQ(meanings.size(), family.listed.size()) << "two numbers share one meaning";
    }
}

// A few anchors on either side of the gaps: a table shifted by one row would give every
// number its neighbour's meaning.
TEST(ControllerCodes, NumbersMeetTheirOwnMeanings) {
    EXPECT_NE(explained("error:1").find("command letter"), std::string::npos);
    EXPECT_NE(explained("error:15").find("soft limits"), std::string::npos);
    EXPECT_NE(explained("error:17").find("laser"), std::string::npos);
    EXPECT_NE(explained("error:20").find("G-code"), std::string::npos);
    EXPECT_NE(explained("error:22").find("feed rate"), std::string::npos);
    EXPECT_NE(explained("error:38").find("maximum"), std::string::npos);
    EXPECT_NE(explained("ALARM:1").find("hard limit"), std::string::npos);
    EXPECT_NE(explained("ALARM:9").find("no limit switch"), std::string::npos);
    EXPECT_NE(explained("ALARM:10").find("dual axis"), std::string::npos);
}

TEST(ControllerCodes, UnlistedNumbersAndOtherLinesStayBare) {
    for (const std::string line : {"error:0",
                                   "error:18",
                                   "error:19",
                                   "error:39",
                                   "error:999",
                                   "error:-1",
                                   "error:abc",
                                   "error:",
                                   "error:15x",
                                   "error:15 ",
                                   "error: 15",
                                   "error:15 (x)",
                                   "error:99999999999",
                                   "ERROR:15",
                                   "ALARM:0",
                                   "ALARM:11",
                                   "ALARM:15",
                                   "ALARM:-9",
                                   "ALARM:",
                                   "alarm:9",
                                   "ok",
                                   "",
                                   "<Alarm>",
                                   "[MSG:error:15]"}) {
        EXPECT_EQ(explained(line), line);
    }
}

TEST(ControllerCodes, AnOverlongLineIsCutNotOverrun) {
    const std::string line = "error:" + std::string(400, '7');
    EXPECT_EQ(explained(line), line.substr(0, ExplainedLine::kSize - 1));
    EXPECT_EQ(explained(std::string()), "");
    EXPECT_STREQ(ExplainedLine(nullptr).c_str(), "");
}

}  // namespace
}  // namespace korvane
