#include "command_parser.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace korvane::sim {

namespace {

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// One letter and its number, as in "G91" or "x-2.5".
struct Word {
    char letter = '\0';  // as received, not folded
    double value = 0.0;
};

enum class WordStatus { Word, End, BadNumber };

// Takes the next word off the front of rest. Spaces between words are skipped; a number ends
// at a space, at the next letter or at the end of the line. On BadNumber the letter is still
// set (or '\0' when there was none), so that the caller can tell an unknown word apart.
WordStatus nextWord(std::string_view& rest, Word* word) {
    std::size_t i = 0;
    while (i < rest.size() && rest[i] == ' ') ++i;
    if (i == rest.size()) return WordStatus::End;
    if (!isLetter(rest[i])) {
        word->letter = '\0';
        return WordStatus::BadNumber;
    }
    word->letter = rest[i++];
    const std::size_t numberStart = i;
    while (i < rest.size() && rest[i] != ' ' && !isLetter(rest[i])) ++i;
    const std::optional<double> value = parseNumber(rest.substr(numberStart, i - numberStart));
    if (!value) return WordStatus::BadNumber;
    word->value = *value;
    rest.remove_prefix(i);
    return WordStatus::Word;
}

Command parseJog(std::string_view body) {
    JogCommand jog;
    bool haveAxis = false;
    bool haveFeed = false;
    Word word;
    for (;;) {
        const WordStatus status = nextWord(body, &word);
        if (status == WordStatus::End) break;
        const char letter = upper(word.letter);
        if (letter != 'G' && letter != 'F' && axisIndex(letter) < 0) {
            return ParseFailure{ErrorCode::BadJog};
        }
        if (status == WordStatus::BadNumber) return ParseFailure{ErrorCode::BadNumber};
        if (letter == 'G') {
            if (word.value == 90.0) {
                jog.relative = false;
            } else if (word.value == 91.0) {
                jog.relative = true;
            } else {
                return ParseFailure{ErrorCode::BadJog};
            }
        } else if (letter == 'F') {
            if (haveFeed || !(word.value > 0.0)) return ParseFailure{ErrorCode::BadJog};
            jog.feed = word.value;
            haveFeed = true;
        } else {
            const int axis = axisIndex(word.letter);
            if (axis < 0 || haveAxis) return ParseFailure{ErrorCode::BadJog};
            jog.axis = axis;
            jog.value = word.value;
            haveAxis = true;
        }
    }
    if (!haveAxis || !haveFeed) return ParseFailure{ErrorCode::BadJog};
    return jog;
}

Command parseMove(std::string_view line) {
    MoveCommand move;
    Word word;
    for (;;) {
        const WordStatus status = nextWord(line, &word);
        if (status == WordStatus::End) break;
        const char letter = upper(word.letter);
        if (letter != 'G' && letter != 'F' && axisIndex(letter) < 0) {
            return ParseFailure{ErrorCode::UnknownCommand};
        }
        if (status == WordStatus::BadNumber) return ParseFailure{ErrorCode::BadNumber};
        if (letter == 'G') {
            if (word.value == 0.0 || word.value == 1.0) {
                move.motionMode = static_cast<int>(word.value);
            } else if (word.value == 90.0 || word.value == 91.0) {
                move.relative = word.value == 91.0;
            } else {
                return ParseFailure{ErrorCode::UnknownCommand};
            }
        } else if (letter == 'F') {
            if (!(word.value > 0.0)) return ParseFailure{ErrorCode::BadValue};
            move.feed = word.value;
        } else {
            const int axis = axisIndex(word.letter);
            if (axis < 0 || move.axes[axis]) return ParseFailure{ErrorCode::UnknownCommand};
            move.axes[axis] = word.value;
        }
    }
    return move;
}

Command parseHome(std::string_view rest) {
    if (rest.empty()) return HomeCommand{};
    if (rest.size() == 1 && axisIndex(rest[0]) >= 0) return HomeCommand{axisIndex(rest[0])};
    return ParseFailure{ErrorCode::UnknownSetting};
}

Command parseSetPosition(std::string_view rest) {
    if (rest.empty() || axisIndex(rest[0]) < 0) return ParseFailure{ErrorCode::BadValue};
    const std::optional<double> value = parseNumber(rest.substr(1));
    if (!value) return ParseFailure{ErrorCode::BadNumber};
    return SetPositionCommand{axisIndex(rest[0]), *value};
}

// rest: what follows "$axes/".
Command parseSetting(std::string_view rest) {
    if (rest.size() < 3 || axisIndex(rest[0]) < 0 || rest[1] != '/') {
        return ParseFailure{ErrorCode::UnknownSetting};
    }
    SettingCommand setting;
    setting.axis = axisIndex(rest[0]);
    rest.remove_prefix(2);
    const std::size_t equals = rest.find('=');
    const std::string_view name = rest.substr(0, equals);
    bool known = false;
    for (SettingKind kind : {SettingKind::Acceleration, SettingKind::SoftLimits,
                             SettingKind::MaxTravel, SettingKind::HomingMpos}) {
        if (name == settingName(kind)) {
            setting.kind = kind;
            known = true;
        }
    }
    if (!known) return ParseFailure{ErrorCode::UnknownSetting};
    if (equals == std::string_view::npos) return setting;

    const std::string_view text = rest.substr(equals + 1);
    if (setting.kind == SettingKind::SoftLimits) {
        if (text == "true") {
            setting.value = 1.0;
        } else if (text == "false") {
            setting.value = 0.0;
        } else {
            return ParseFailure{ErrorCode::BadValue};
        }
        return setting;
    }
    const std::optional<double> value = parseNumber(text);
    if (!value) return ParseFailure{ErrorCode::BadNumber};
    if (setting.kind == SettingKind::Acceleration && !(*value > 0.0)) {
        return ParseFailure{ErrorCode::BadValue};
    }
    setting.value = *value;
    return setting;
}

Command parseDollar(std::string_view line) {
    if (line == "$") return HelpCommand{};
    if (startsWith(line, "$J=")) return parseJog(line.substr(3));
    if (line == "$ES") return EmergencyStopCommand{};
    if (line == "$X") return UnlockCommand{};
    if (line == "$SLP") return SleepCommand{};
    if (line == "$C") return CheckModeCommand{};
    if (line == "$device_uuid") return UuidQuery{};
    if (startsWith(line, "$MPos=")) return parseSetPosition(line.substr(6));
    if (startsWith(line, "$axes/")) return parseSetting(line.substr(6));
    if (startsWith(line, "$H")) return parseHome(line.substr(2));
    return ParseFailure{ErrorCode::UnknownSetting};
}

}  // namespace

int axisIndex(char letter) {
    const char folded =
        static_cast<char>(letter >= 'A' && letter <= 'Z' ? letter - 'A' + 'a' : letter);
    for (int i = 0; i < kAxisCount; ++i) {
        if (kAxisLetters[i] == folded) return i;
    }
    return -1;
}

std::string_view settingName(SettingKind kind) {
    switch (kind) {
        case SettingKind::Acceleration:
            return "acceleration_mm_per_sec2";
        case SettingKind::SoftLimits:
            return "soft_limits";
        case SettingKind::MaxTravel:
            return "max_travel_mm";
        case SettingKind::HomingMpos:
            return "homing/mpos_mm";
    }
    return "";
}

std::optional<double> parseNumber(std::string_view text) {
    // from_chars takes a leading '-' but not '+'.
    if (!text.empty() && text[0] == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text[0] == '-') return std::nullopt;
    }
    if (text.empty()) return std::nullopt;
    double value = 0.0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

Command parseCommand(std::string_view line) {
    if (!line.empty() && line[0] == '$') return parseDollar(line);
    // A program line must start with a word; anything else is not a command at all.
    if (line.empty() || !isLetter(line[0])) return ParseFailure{ErrorCode::UnknownCommand};
    return parseMove(line);
}

}  // namespace korvane::sim
