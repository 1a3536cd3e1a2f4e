#include "protocol/status_report.h"

#include <cstring>

#include "protocol/numbers.h"

namespace korvane {

namespace {

struct StateWord {
    const char* word;
    std::int32_t state;
};

constexpr StateWord kStateWords[] = {
    {"Idle", KORVANE_STATE_IDLE},   {"Run", KORVANE_STATE_RUN},     {"Jog", KORVANE_STATE_JOG},
    {"Hold", KORVANE_STATE_HOLD},   {"Alarm", KORVANE_STATE_ALARM}, {"Home", KORVANE_STATE_HOME},
    {"Sleep", KORVANE_STATE_SLEEP}, {"Door", KORVANE_STATE_DOOR},   {"Check", KORVANE_STATE_CHECK},
};

bool startsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// "MPos:" / "WPos:" values: up to six numbers separated by commas (or white space).
void parsePositions(const char* text, StatusReport* report) {
    int slot = 0;
    if (*text != '\0') {
        while (slot < kAxisCount) {
            const char* end = text;
            report->positions[slot] = parseFloatPrefix(text, &end);
            if (end == text) break;
            ++slot;
            text = end;
            if (*text == ',') ++text;
            if (*text == '\0') break;
        }
    }
    report->positionCount = slot;
}

// "Lim:" values: up to four integers; the ones the field does not supply become 0.
void parseLimits(const char* text, StatusReport* report) {
    std::int32_t slots[kLimitCount] = {};
    if (*text != '\0') {
        for (int i = 0; i < kLimitCount; ++i) {
            const char* end = text;
            slots[i] = parseInt32Prefix(text, &end);
            // A value that does not convert leaves the reading position where it was, so it
            // and every later slot stay 0.
            if (end == text) break;
            text = end;
            if (*text == ',') ++text;
            if (*text == '\0') break;
        }
    }
    std::memcpy(report->limits, slots, sizeof slots);
}

void parseField(const char* field, StatusReport* report) {
    if (startsWith(field, "MPos:") || startsWith(field, "WPos:")) {
        parsePositions(field + 5, report);
    } else if (startsWith(field, "FS:")) {
        const char* end = nullptr;
        report->feed = parseFloatPrefix(field + 3, &end);
    } else if (startsWith(field, "F:")) {
        const char* end = nullptr;
        report->feed = parseFloatPrefix(field + 2, &end);
    } else if (startsWith(field, "Lim:")) {
        parseLimits(field + 4, report);
    }
}

}  // namespace

bool operator==(const StatusReport& a, const StatusReport& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::int32_t machineStateFromField(const char* field) {
    for (const StateWord& w : kStateWords) {
        if (startsWith(field, w.word)) return w.state;
    }
    return KORVANE_STATE_UNKNOWN;
}

const char* machineStateName(std::int32_t state) {
    for (const StateWord& w : kStateWords) {
        if (w.state == state) return w.word;
    }
    return "Unknown";
}

bool parseStatusReport(const char* text, StatusReport* report) {
    if (text == nullptr || report == nullptr) return false;
    const char* open = std::strchr(text, '<');
    if (open == nullptr) return false;
    const char* close = std::strchr(open + 1, '>');
    if (close == nullptr) return false;
    const std::size_t length = static_cast<std::size_t>(close - open - 1);
    if (length > kMaxReportBody) return false;

    char body[kMaxReportBody + 1];
    std::memcpy(body, open + 1, length);
    body[length] = '\0';
    *report = StatusReport{};

    // Fields are cut in place at each '|', so every conversion stops at its field's end.
    char* field = body;
    bool first = true;
    while (*field != '\0') {
        char* bar = std::strchr(field, '|');
        if (bar != nullptr) *bar = '\0';
        if (first) {
            report->state = machineStateFromField(field);
            first = false;
        } else {
            parseField(field, report);
        }
        if (bar == nullptr) break;
        field = bar + 1;
    }
    return report->state != KORVANE_STATE_UNKNOWN;
}

}  // namespace korvane
