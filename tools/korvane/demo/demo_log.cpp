#include "demo/demo_log.h"

#include "frame/api_names.h"
#include "frame/text_format.h"

namespace korvane::tool {

namespace {

constexpr std::size_t kCallWidth = 48;
constexpr std::size_t kResultWidth = 19;
constexpr std::size_t kTimeWidth = 10;

}  // namespace

void DemoLog::columns() {
    console_.line(console_.paint("  " + padRight("call", kCallWidth) + " " +
                                     padRight("result", kResultWidth) +
                                     padLeft("time", kTimeWidth) + "  values",
                                 Colour::Dim));
}

void DemoLog::section(std::string_view title) {
    console_.line("");
    console_.line(console_.paint(std::string("== ") + std::string(title), Colour::Bold));
}

void DemoLog::printRow(std::string_view call, std::string_view result, bool asExpected, double ms,
                       std::string_view values) {
    // Pad before painting: escape codes have no width on screen but would count here.
    const std::string resultCell = padRight(result, kResultWidth);
    std::string text = "  " + padRight(call, kCallWidth) + " " +
                       console_.paint(resultCell, asExpected ? Colour::Green : Colour::Red) +
                       padLeft(fixed(ms, 1) + " ms", kTimeWidth) + "  " + std::string(values);
    // Rows without values would otherwise end in blanks.
    while (!text.empty() && text.back() == ' ') text.pop_back();
    console_.line(text);
    console_.flush();
}

void DemoLog::row(std::string_view call, const TimedResult& timed, ResultCode expected,
                  std::string_view values, int calls) {
    calls_ += calls;
    const bool asExpected = timed.result == expected;
    std::string shown(values);
    if (!asExpected) {
        ++unexpected_;
        if (!shown.empty()) shown += "  ";
        shown += console_.paint("UNEXPECTED, wanted " + resultText(expected), Colour::Red);
    }
    printRow(call, resultText(timed.result), asExpected, timed.ms, shown);
}

void DemoLog::textRow(std::string_view call, double ms, std::string_view value, bool asExpected) {
    ++calls_;
    if (!asExpected) ++unexpected_;
    printRow(call, "(text)", asExpected, ms, value);
}

void DemoLog::check(std::string_view claim, bool holds, std::string_view evidence) {
    ++checks_;
    if (!holds) ++failedChecks_;
    const std::string mark =
        holds ? console_.paint("[ok]  ", Colour::Green) : console_.paint("[FAIL]", Colour::Red);
    std::string text = "  " + mark + "  " + std::string(claim);
    if (!evidence.empty()) text += console_.paint(" (" + std::string(evidence) + ")", Colour::Dim);
    console_.line(text);
    console_.flush();
}

void DemoLog::note(std::string_view text) {
    console_.line("  " + console_.paint("note", Colour::Yellow) + "    " + std::string(text));
}

void DemoLog::summary(double seconds) {
    std::string text = passed() ? "Summary: PASS - " : "Summary: FAIL - ";
    if (unexpected_ == 0) {
        text += "all " + std::to_string(calls_) + " calls gave the expected result";
    } else {
        text += std::to_string(unexpected_) + " of " + std::to_string(calls_) +
                " calls gave an unexpected result";
    }
    text += ", " + std::to_string(checks_ - failedChecks_) + " of " + std::to_string(checks_) +
            " checks held, " + fixed(seconds, 1) + " s";
    console_.line("");
    console_.line(console_.paint(text, passed() ? Colour::Green : Colour::Red));
    console_.flush();
}

}  // namespace korvane::tool
