// Command-line options of one subcommand: "--name value", "--name=value" and flags.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arguments/argument_rules.h"

namespace korvane::tool {

struct OptionInfo {
    std::string_view name;  // with its dashes: "--port"
    bool takesValue;
    std::string_view valueName;  // for usage texts: "PORT"
};

class Arguments {
  public:
    bool has(std::string_view name) const;
    std::optional<std::string> value(std::string_view name) const;
    void set(std::string_view name, std::string value);

  private:
    std::map<std::string, std::string, std::less<>> values_;
};

// Parses the words after the subcommand against the options it knows. "-h" and "--help" are always
// known. False, with a message, for an unknown option, a repeated one, a missing value or a word
// that is not an option.
bool parseArguments(const std::vector<std::string>& words, std::span<const OptionInfo> known,
                    Arguments* out, std::string* error);

// Reads typed values from parsed options, remembering the first problem so that a
// subcommand can read all it needs and test once. A value the library would refuse is
// refused here, with the library's words: "Invalid <argument>: <as typed> (accepted: ...)".
class OptionReader {
  public:
    explicit OptionReader(const Arguments& args) : args_(args) {}

    // Required: x y z a b c (either case) or 0..5.
    int axis(std::string_view name);
    // Optional axis that also takes "all" or -1; -1 when absent.
    int axisOrAll(std::string_view name);
    // Required number ('.' decimals whatever the locale) that the rule accepts as a float.
    float number(std::string_view name, const rules::Rule& rule, bool (*accepts)(float));
    // Optional whole number within [low, high].
    int integer(std::string_view name, int fallback, int low, int high);
    // Required non-empty text.
    std::string text(std::string_view name);
    // Exactly one of two flags: true for the first, false for the second.
    bool eitherFlag(std::string_view first, std::string_view second);

    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }

  private:
    std::optional<std::string> required(std::string_view name);
    void fail(std::string message);

    const Arguments& args_;
    std::string error_;
};

// Locale-independent parsers behind OptionReader, exposed for reuse.
std::optional<double> parseDecimal(std::string_view text);
std::optional<long long> parseWhole(std::string_view text);
std::optional<int> parseAxis(std::string_view text);

}  // namespace korvane::tool
