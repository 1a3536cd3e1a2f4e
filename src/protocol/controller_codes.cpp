#include "protocol/controller_codes.h"

#include <cstdio>
#include <cstring>

namespace korvane {

namespace {

// Index N holds the meaning of N; null where no meaning is listed.
constexpr const char* kErrorMeanings[] = {
    nullptr,
    "a word of the line has no command letter",
    "a number in the line is malformed, or the command is unknown",
    "the $ command is not recognised or not supported",
    "a value that must be positive is negative",
    "homing is disabled in the controller's settings",
    "the step pulse time is below the minimum the controller accepts",
    "the controller's stored settings could not be read; defaults were restored",
    "the $ command is only accepted while the machine is Idle",
    "motion commands are locked out during an alarm or a jog",
    "soft limits need homing to be enabled",
    "the line is longer than the controller accepts",
    "the step rate this setting implies exceeds what the controller can produce",
    "the safety door is open",
    "a line for the controller's start-up storage is too long",
    "the jog would travel outside the machine's soft limits",
    "the jog command is malformed or has a word that jogs do not allow",
    "the setting needs the controller's laser mode",
    nullptr,
    nullptr,
    "an unsupported or invalid G-code command",
    "two commands of the same group on one line",
    "no feed rate has been set",
    "a command value must be a whole number",
    "two commands on the line both need axis words",
    "a word is repeated on the line",
    "the command needs axis words and has none",
    "the line number is out of range",
    "the command lacks a value it requires",
    "the work coordinate system is not supported",
    "the machine-coordinate move needs a linear motion mode",
    "axis words are present where no command uses them",
    "the arc has no axis words in the selected plane",
    "the motion target is invalid",
    "the arc radius cannot be computed",
    "the arc has no offset words in the selected plane",
    "unused words remain on the line",
    "the tool-length offset names an axis it may not use",
    "a value exceeds the maximum the controller accepts",
};

constexpr const char* kAlarmMeanings[] = {
    nullptr,
    "a hard limit switch was triggered; position is lost, home again",
    "a motion target lies outside the soft limits; position is kept",
    "reset while in motion; position may be lost, home again",
    "the probe was not in its expected initial state",
    "the probe did not make contact within its travel",
    "homing failed: the cycle was reset",
    "homing failed: the safety door was opened",
    "homing failed: the pull-off did not clear the limit switch",
    "homing failed: no limit switch was found within the search distance",
    "homing failed: the second switch of a dual axis was not found",
};

template <std::size_t N>
const char* lookUp(const char* const (&table)[N], long code) {
    if (code < 0 || static_cast<unsigned long>(code) >= N) return nullptr;
    return table[code];
}

// N of a line that is exactly prefix followed by one to four digits; -1 for any other line.
// Four digits are more than any controller sends and keep the number far from overflow.
long codeAfter(const char* line, const char* prefix) {
    const std::size_t prefixLength = std::strlen(prefix);
    if (std::strncmp(line, prefix, prefixLength) != 0) return -1;
    const char* digits = line + prefixLength;
    long code = 0;
    std::size_t count = 0;
    for (; digits[count] >= '0' && digits[count] <= '9'; ++count) {
        if (count == 4) return -1;
        code = code * 10 + (digits[count] - '0');
    }
    return count > 0 && digits[count] == '\0' ? code : -1;
}

const char* lineMeaning(const char* line) {
    if (const long error = codeAfter(line, "error:"); error >= 0) return errorCodeMeaning(error);
    if (const long alarm = codeAfter(line, "ALARM:"); alarm >= 0) return alarmCodeMeaning(alarm);
    return nullptr;
}

}  // namespace

const char* errorCodeMeaning(long code) {
    return lookUp(kErrorMeanings, code);
}

const char* alarmCodeMeaning(long code) {
    return lookUp(kAlarmMeanings, code);
}

ExplainedLine::ExplainedLine(const char* line) {
    if (line == nullptr) line = "";
    const char* meaning = lineMeaning(line);
    if (meaning != nullptr) {
        std::snprintf(text_, sizeof text_, "%s (%s)", line, meaning);
    } else {
        std::snprintf(text_, sizeof text_, "%s", line);
    }
}

}  // namespace korvane
