// A status report is the one line the library parses field by field, and its text comes
// straight from the controller: it must be bounded, and its result must keep its promises.
#include <cstring>

#include "fuzz_support.h"
#include "protocol/status_report.h"

namespace korvane::fuzz {
namespace {

// A record no parse produces by accident: every byte 0xA5 (the floats are NaN patterns,
// compared bytewise).
StatusReport sentinelReport() {
    StatusReport report;
    std::memset(&report, 0xA5, sizeof report);
    return report;
}

// Whether the parser must reject the text before looking at it: no '<', no '>' after it, or a
// body longer than the parser's bound.
bool rejectedUnread(const char* text) {
    const char* open = std::strchr(text, '<');
    if (open == nullptr) return true;
    const char* close = std::strchr(open + 1, '>');
    if (close == nullptr) return true;
    return static_cast<std::size_t>(close - open - 1) > kMaxReportBody;
}

void checkOneText(const char* text) {
    const StatusReport sentinel = sentinelReport();
    StatusReport report = sentinel;
    const bool parsed = parseStatusReport(text, &report);

    if (rejectedUnread(text)) {
        KORVANE_FUZZ_REQUIRE(!parsed);
        KORVANE_FUZZ_REQUIRE(report == sentinel);
        return;
    }
    KORVANE_FUZZ_REQUIRE(report.positionCount >= 0 && report.positionCount <= kAxisCount);
    if (parsed) {
        KORVANE_FUZZ_REQUIRE(report.state >= KORVANE_STATE_IDLE &&
                             report.state <= KORVANE_STATE_CHECK);
        // The state's name must lead back to the same state, or a report would change
        // meaning when a host shows it and parses it again.
        KORVANE_FUZZ_REQUIRE(machineStateFromField(machineStateName(report.state)) == report.state);
    } else {
        KORVANE_FUZZ_REQUIRE(report.state == KORVANE_STATE_UNKNOWN);
    }

    // The parse depends on the text alone, never on what the record held before.
    StatusReport fresh;
    KORVANE_FUZZ_REQUIRE(parseStatusReport(text, &fresh) == parsed);
    KORVANE_FUZZ_REQUIRE(fresh == report);
}

}  // namespace
}  // namespace korvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto text = korvane::fuzz::zeroTerminated(data, size);
    korvane::fuzz::checkOneText(text.get());
    return 0;
}
