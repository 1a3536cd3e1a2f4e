#include "arguments/argument_rules.h"

#include <charconv>
#include <cstring>
#include <initializer_list>

namespace korvane::rules {

namespace {

// Appends text to out at *at, never past size - 1 characters.
void append(char* out, std::size_t size, std::size_t* at, const char* text) {
    const std::size_t length = std::strlen(text);
    const std::size_t room = size - 1 - *at;
    const std::size_t taken = length < room ? length : room;
    std::memcpy(out + *at, text, taken);
    *at += taken;
}

}  // namespace

void formatRefusal(char* out, std::size_t size, const char* name, const char* value,
                   const char* accepted) {
    if (out == nullptr || size == 0) return;
    std::size_t at = 0;
    for (const char* part : {"Invalid ", name, ": ", value, " (accepted: ", accepted, ")"}) {
        append(out, size, &at, part);
    }
    out[at] = '\0';
}

void formatRefusal(char* out, std::size_t size, const Rule& rule, const char* value) {
    formatRefusal(out, size, rule.name, value, rule.accepted);
}

void formatRefusal(char* out, std::size_t size, const Rule& rule, float value) {
    // to_chars knows no locale and gives the shortest form that reads back exactly; it
    // spells the non-finite values "nan" and "inf", as Python's str() does.
    char text[32] = {};
    const std::to_chars_result written = std::to_chars(text, text + sizeof text - 1, value);
    *written.ptr = '\0';
    formatRefusal(out, size, rule, text);
}

void formatRefusal(char* out, std::size_t size, const Rule& rule, std::int64_t value) {
    char text[24] = {};
    const std::to_chars_result written = std::to_chars(text, text + sizeof text - 1, value);
    *written.ptr = '\0';
    formatRefusal(out, size, rule, text);
}

}  // namespace korvane::rules
