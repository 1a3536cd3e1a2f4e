// Homing trusts the controller's lines for up to half a minute; whatever they hold, the
// cycle may end only the way the state machine allows: an error line, or a report after Home.
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "protocol/homing.h"
#include "protocol/status_report.h"

namespace korvane::fuzz {
namespace {

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// A report line the reading loop would hand over, parsed on its own; state 0 when it is none.
std::int32_t reportedState(const char* line, StatusReport* report) {
    if (line[0] != '<' || !parseStatusReport(line, report)) return KORVANE_STATE_UNKNOWN;
    return report->state;
}

// Returns false once the watch has ended the cycle: later lines are never shown to it.
bool evaluateOneLine(HomingWatch& watch, bool& homeSeen, const char* line) {
    using Outcome = HomingWatch::Outcome;
    StatusReport report;
    const std::int32_t state = reportedState(line, &report);
    const Outcome outcome = watch.evaluate(line);

    KORVANE_FUZZ_REQUIRE((outcome == Outcome::Error) == startsWith(line, "error:"));
    KORVANE_FUZZ_REQUIRE((outcome == Outcome::AlarmLine) == startsWith(line, "ALARM:"));
    if (outcome == Outcome::Homed || outcome == Outcome::Alarm) {
        KORVANE_FUZZ_REQUIRE(homeSeen);
        KORVANE_FUZZ_REQUIRE(state != KORVANE_STATE_UNKNOWN && state != KORVANE_STATE_HOME);
        KORVANE_FUZZ_REQUIRE((outcome == Outcome::Alarm) == (state == KORVANE_STATE_ALARM));
        // The report left for the connection's cache is the one that ended the cycle.
        KORVANE_FUZZ_REQUIRE(watch.report() == report);
    }
    if (outcome == Outcome::Continue && homeSeen) {
        KORVANE_FUZZ_REQUIRE(state == KORVANE_STATE_UNKNOWN || state == KORVANE_STATE_HOME);
    }
    if (state == KORVANE_STATE_HOME) homeSeen = true;
    KORVANE_FUZZ_REQUIRE(watch.homeSeen() == homeSeen);
    return outcome == Outcome::Continue;
}

}  // namespace
}  // namespace korvane::fuzz

// Every LF-separated piece of the input is one line, as the reading loop would complete it.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = korvane::fuzz::zeroTerminated(data, size);
    korvane::HomingWatch watch;
    bool homeSeen = false;
    char* line = text.get();
    const char* const end = text.get() + size;
    while (line <= end) {
        char* lf =
            static_cast<char*>(std::memchr(line, '\n', static_cast<std::size_t>(end - line)));
        if (lf != nullptr) *lf = '\0';
        if (!korvane::fuzz::evaluateOneLine(watch, homeSeen, line)) break;
        if (lf == nullptr) break;
        line = lf + 1;
    }
    return 0;
}
