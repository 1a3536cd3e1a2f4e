#include "protocol/numbers.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <system_error>

namespace korvane {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Leading white space and an optional sign, as strtof and strtol take them; true for '-'.
bool skipSpaceAndSign(const char*& p) {
    while (isSpace(*p)) ++p;
    if (*p != '+' && *p != '-') return false;
    return *p++ == '-';
}

// from_chars leaves the value alone when it is out of range. Whether it was too large or too
// small follows from the decimal exponent of the first significant digit: below zero the
// magnitude is below 1, so the value underflowed.
bool isUnderflow(const char* begin, const char* end) {
    const char* mantissaEnd = begin;
    while (mantissaEnd < end && *mantissaEnd != 'e' && *mantissaEnd != 'E') ++mantissaEnd;
    long exponent = 0;  // of the first significant digit, in the mantissa as written
    bool beforePoint = true;
    bool found = false;
    for (const char* p = begin; p < mantissaEnd; ++p) {
        if (*p == '.') {
            beforePoint = false;
        } else if (!found && *p != '0') {
            found = true;
            exponent = beforePoint ? 0 : exponent - 1;
        } else if (found && beforePoint) {
            ++exponent;
        } else if (!found && !beforePoint) {
            --exponent;
        }
    }
    const char* p = mantissaEnd + 1;
    if (p < end) {
        const bool negative = *p == '-';
        if (*p == '+' || *p == '-') ++p;
        long written = 0;
        for (; p < end && isDigit(*p); ++p) {
            if (written < 1000000) written = written * 10 + (*p - '0');
        }
        exponent += negative ? -written : written;
    }
    return exponent < 0;
}

}  // namespace

float parseFloatPrefix(const char* text, const char** end) {
    *end = text;
    const char* p = text;
    const bool negative = skipSpaceAndSign(p);
    // from_chars takes no sign of its own here: the sign was taken above, and a second one
    // ("--1") is no number.
    if (*p == '+' || *p == '-') return 0.0f;
    const char* last = p + std::strlen(p);
    float value = 0.0f;
    const auto [ptr, ec] = std::from_chars(p, last, value, std::chars_format::general);
    if (ptr == p) return 0.0f;
    if (ec == std::errc::result_out_of_range) {
        value = isUnderflow(p, ptr) ? 0.0f : std::numeric_limits<float>::infinity();
    } else if (ec != std::errc()) {
        return 0.0f;
    }
    *end = ptr;
    return negative ? -value : value;
}

std::int32_t parseInt32Prefix(const char* text, const char** end) {
    *end = text;
    const char* p = text;
    const bool negative = skipSpaceAndSign(p);
    if (!isDigit(*p)) return 0;
    // Accumulate in 64 bits and stop growing past the 32-bit range: any longer digit string
    // clamps the same way.
    constexpr std::int64_t kCap = std::int64_t{1} << 32;
    std::int64_t magnitude = 0;
    while (isDigit(*p)) {
        if (magnitude < kCap) magnitude = magnitude * 10 + (*p - '0');
        ++p;
    }
    *end = p;
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (value < std::numeric_limits<std::int32_t>::min()) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(value);
}

int formatFixed3(double value, char* out, std::size_t size) {
    char buf[400];  // the largest double in fixed notation has 309 digits
    std::size_t n = 0;
    if (std::isnan(value)) {
        if (std::signbit(value)) buf[n++] = '-';
        std::memcpy(buf + n, "nan", 3);
        n += 3;
    } else if (std::isinf(value)) {
        if (value < 0) buf[n++] = '-';
        std::memcpy(buf + n, "inf", 3);
        n += 3;
    } else {
        const auto [ptr, ec] =
            std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 3);
        n = ec == std::errc() ? static_cast<std::size_t>(ptr - buf) : 0;
    }
    if (size > 0) {
        const std::size_t copy = n < size - 1 ? n : size - 1;
        std::memcpy(out, buf, copy);
        out[copy] = '\0';
    }
    return static_cast<int>(n);
}

int vformatCommand(char* out, std::size_t size, const char* format, va_list args) {
    std::size_t n = 0;  // length of the complete output, whether it fits or not
    auto emit = [&](const char* s, std::size_t len) {
        for (std::size_t i = 0; i < len; ++i, ++n) {
            if (size > 0 && n < size - 1) out[n] = s[i];
        }
    };
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f != '%') {
            emit(f, 1);
            continue;
        }
        char num[400];
        switch (*++f) {
            case 'c': {
                const char c = static_cast<char>(va_arg(args, int));
                emit(&c, 1);
                break;
            }
            case 's': {
                const char* s = va_arg(args, const char*);
                emit(s, std::strlen(s));
                break;
            }
            case 'd': {
                const auto [ptr, ec] = std::to_chars(num, num + sizeof num, va_arg(args, int));
                emit(num, static_cast<std::size_t>(ptr - num));
                break;
            }
            case 'f': {
                const int len = formatFixed3(va_arg(args, double), num, sizeof num);
                emit(num, static_cast<std::size_t>(len));
                break;
            }
            case '%':
                emit("%", 1);
                break;
            default:  // not part of the language; never used by the library
                --f;
                emit("%", 1);
                break;
        }
    }
    if (size > 0) out[n < size - 1 ? n : size - 1] = '\0';
    return static_cast<int>(n);
}

int formatCommand(char* out, std::size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vformatCommand(out, size, format, args);
    va_end(args);
    return n;
}

}  // namespace korvane
