#include "frame/arguments.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "arguments/argument_rules.h"

namespace korvane::tool {

bool Arguments::has(std::string_view name) const {
    return values_.find(name) != values_.end();
}

std::optional<std::string> Arguments::value(std::string_view name) const {
    const auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

void Arguments::set(std::string_view name, std::string value) {
    values_.insert_or_assign(std::string(name), std::move(value));
}

bool parseArguments(const std::vector<std::string>& words, std::span<const OptionInfo> known,
                    Arguments* out, std::string* error) {
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word == "-h" || word == "--help") {
            out->set("--help", "");
            continue;
        }
        if (word.size() < 3 || word.compare(0, 2, "--") != 0) {
            *error = "unexpected argument '" + word + "'";
            return false;
        }
        const std::size_t equals = word.find('=');
        const std::string_view name = std::string_view(word).substr(0, equals);
        const OptionInfo* option = nullptr;
        for (const OptionInfo& candidate : known) {
            if (candidate.name == name) option = &candidate;
        }
        if (option == nullptr) {
            *error = "unknown option '" + std::string(name) + "'";
            return false;
        }
        // Two values for one option are a mistake on the command line (an edited command, a
        // script that appends), not a choice: neither may win silently.
        if (out->has(name)) {
            *error = "option '" + std::string(name) + "' given more than once";
            return false;
        }
        if (!option->takesValue) {
            if (equals != std::string::npos) {
                *error = "option '" + std::string(name) + "' takes no value";
                return false;
            }
            out->set(name, "");
        } else if (equals != std::string::npos) {
            out->set(name, word.substr(equals + 1));
        } else if (i + 1 < words.size()) {
            // The next word is the value even when it starts with '-': "--distance -5".
            out->set(name, words[++i]);
        } else {
            *error = "option '" + std::string(name) + "' needs a value (" +
                     std::string(option->valueName) + ")";
            return false;
        }
    }
    return true;
}

std::optional<double> parseDecimal(std::string_view text) {
    // from_chars takes no leading '+', which people write for directions ("--rate +600").
    if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
    double value = 0.0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<long long> parseWhole(std::string_view text) {
    if (text.size() > 1 && text.front() == '+' && text[1] != '-') text.remove_prefix(1);
    long long value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<int> parseAxis(std::string_view text) {
    if (text.size() != 1) return std::nullopt;
    const char ch = text.front();
    if (ch >= '0' && ch <= '5') return ch - '0';
    static constexpr std::string_view kLetters = "xyzabc";
    const char lower = (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    const std::size_t index = kLetters.find(lower);
    if (index == std::string_view::npos) return std::nullopt;
    return static_cast<int>(index);
}

void OptionReader::fail(std::string message) {
    if (error_.empty()) error_ = std::move(message);
}

std::optional<std::string> OptionReader::required(std::string_view name) {
    std::optional<std::string> value = args_.value(name);
    if (!value) fail("missing option " + std::string(name));
    return value;
}

namespace {

std::string refusal(const rules::Rule& rule, const std::string& value) {
    char text[rules::kRefusalSize];
    rules::formatRefusal(text, sizeof text, rule, value.c_str());
    return text;
}

}  // namespace

int OptionReader::axis(std::string_view name) {
    const std::optional<std::string> value = required(name);
    if (!value) return 0;
    const std::optional<int> axisIndex = parseAxis(*value);
    if (!axisIndex) {
        fail(refusal(rules::kAxis, *value));
        return 0;
    }
    return *axisIndex;
}

int OptionReader::axisOrAll(std::string_view name) {
    const std::optional<std::string> value = args_.value(name);
    if (!value || *value == "all" || *value == "-1") return -1;
    const std::optional<int> axisIndex = parseAxis(*value);
    if (!axisIndex) {
        fail(refusal(rules::kHomingAxis, *value));
        return -1;
    }
    return *axisIndex;
}

float OptionReader::number(std::string_view name, const rules::Rule& rule, bool (*accepts)(float)) {
    const std::optional<std::string> value = required(name);
    if (!value) return 0.0f;
    const std::optional<double> parsed = parseDecimal(*value);
    // Beyond the float range the library would be handed infinity; the rule refuses that.
    const float single =
        !parsed ? 0.0f
        : std::fabs(*parsed) > static_cast<double>(std::numeric_limits<float>::max())
            ? static_cast<float>(*parsed > 0 ? HUGE_VAL : -HUGE_VAL)
            : static_cast<float>(*parsed);
    if (!parsed || !accepts(single)) {
        fail(refusal(rule, *value));
        return 0.0f;
    }
    return single;
}

int OptionReader::integer(std::string_view name, int fallback, int low, int high) {
    const std::optional<std::string> value = args_.value(name);
    if (!value) return fallback;
    const std::optional<long long> parsed = parseWhole(*value);
    if (!parsed || *parsed < low || *parsed > high) {
        const std::string accepted =
            "a whole number " + std::to_string(low) + ".." + std::to_string(high);
        fail(refusal(rules::Rule{std::string(name).c_str(), accepted.c_str()}, *value));
        return fallback;
    }
    return static_cast<int>(*parsed);
}

std::string OptionReader::text(std::string_view name) {
    const std::optional<std::string> value = required(name);
    if (value && value->empty()) fail("empty value for " + std::string(name));
    return value.value_or(std::string());
}

bool OptionReader::eitherFlag(std::string_view first, std::string_view second) {
    const bool hasFirst = args_.has(first);
    if (hasFirst == args_.has(second)) {
        fail("give exactly one of " + std::string(first) + " and " + std::string(second));
    }
    return hasFirst;
}

}  // namespace korvane::tool
