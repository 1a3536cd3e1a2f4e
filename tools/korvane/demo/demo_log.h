// The demo's report: one aligned row per library call with its result, time and values, the
// checks on what the machine did, and the tally behind the summary line.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "frame/console.h"
#include "korvane/korvane.h"

namespace korvane::tool {

struct TimedResult {
    ResultCode result = KORVANE_SUCCESS;
    double ms = 0.0;
};

template <typename Call>
TimedResult timeCall(Call&& call) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const ResultCode result = call();
    const auto end = Clock::now();
    return {result, std::chrono::duration<double, std::milli>(end - start).count()};
}

class DemoLog {
  public:
    explicit DemoLog(Console& console) : console_(console) {}

    // The column titles, aligned with the rows.
    void columns();
    void section(std::string_view title);
    // A row standing for `calls` library calls; a result other than `expected` is flagged
    // and counted against the run.
    void row(std::string_view call, const TimedResult& timed, ResultCode expected,
             std::string_view values, int calls = 1);
    // A row for the two exports that return text instead of a result code.
    void textRow(std::string_view call, double ms, std::string_view value, bool asExpected);
    // A claim about what the machine did, with the evidence.
    void check(std::string_view claim, bool holds, std::string_view evidence);
    void note(std::string_view text);
    // "Summary: PASS ..." or "Summary: FAIL ...".
    void summary(double seconds);

    bool passed() const { return unexpected_ == 0 && failedChecks_ == 0 && calls_ > 0; }

  private:
    void printRow(std::string_view call, std::string_view result, bool asExpected, double ms,
                  std::string_view values);

    Console& console_;
    int calls_ = 0;
    int unexpected_ = 0;
    int checks_ = 0;
    int failedChecks_ = 0;
};

}  // namespace korvane::tool
