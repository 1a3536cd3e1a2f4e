#include "frame/text_format.h"

#include <charconv>
#include <cmath>

#include "frame/api_names.h"

namespace korvane::tool {

std::string fixed(double value, int decimals) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // Large enough for any double in fixed notation with a few decimals.
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) return "?";
    std::string text(buffer, result.ptr);
    // A value that rounds to zero should not print as "-0.000".
    if (text.front() == '-' && text.find_first_not_of("-0.") == std::string::npos) {
        return text.substr(1);
    }
    return text;
}

std::string signedFixed(double value, int decimals) {
    const std::string text = fixed(value, decimals);
    if (text.front() == '-' || text == "nan") return text;
    return "+" + text;
}

std::string padRight(std::string_view text, std::size_t width) {
    std::string padded(text);
    if (padded.size() < width) padded.append(width - padded.size(), ' ');
    return padded;
}

std::string padLeft(std::string_view text, std::size_t width) {
    std::string padded;
    if (text.size() < width) padded.assign(width - text.size(), ' ');
    padded.append(text);
    return padded;
}

std::string jsonString(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char ch : text) {
        const auto byte = static_cast<unsigned char>(ch);
        switch (ch) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += kHex[byte >> 4];
                    out += kHex[byte & 0xF];
                } else {
                    out += ch;
                }
        }
    }
    out += '"';
    return out;
}

std::string jsonNumber(double value) {
    return std::isfinite(value) ? fixed(value, 3) : "null";
}

std::string positionsText(const float* positions, std::int32_t count) {
    if (count <= 0) return "(none reported)";
    std::string text;
    for (int axis = 0; axis < count && axis < kAxisCount; ++axis) {
        if (axis > 0) text += "  ";
        text += axisLetter(axis);
        text += ' ';
        text += fixed(positions[axis], 3);
    }
    return text;
}

}  // namespace korvane::tool
