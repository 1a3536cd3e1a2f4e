#include "frame/wide_port_name.h"

#include <cstdint>

namespace korvane::tool {

namespace {

// Appends one code point as wchar_t: UTF-32 on Linux, a surrogate pair where wchar_t is 16
// bits wide.
void appendCodePoint(std::wstring& out, std::uint32_t cp) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (cp >= 0x10000u) {
            cp -= 0x10000u;
            out += static_cast<wchar_t>(0xD800u + (cp >> 10));
            out += static_cast<wchar_t>(0xDC00u + (cp & 0x3FFu));
            return;
        }
    }
    out += static_cast<wchar_t>(cp);
}

}  // namespace

std::optional<std::wstring> widePortName(std::string_view name) {
    std::wstring out;
    std::size_t i = 0;
    while (i < name.size()) {
        const auto lead = static_cast<unsigned char>(name[i]);
        int length = 1;
        std::uint32_t cp = lead;
        std::uint32_t lowest = 0;  // overlong encodings are not valid UTF-8
        if (lead >= 0x80u) {
            if ((lead & 0xE0u) == 0xC0u) {
                length = 2;
                cp = lead & 0x1Fu;
                lowest = 0x80u;
            } else if ((lead & 0xF0u) == 0xE0u) {
                length = 3;
                cp = lead & 0x0Fu;
                lowest = 0x800u;
            } else if ((lead & 0xF8u) == 0xF0u) {
                length = 4;
                cp = lead & 0x07u;
                lowest = 0x10000u;
            } else {
                return std::nullopt;
            }
        }
        if (i + static_cast<std::size_t>(length) > name.size()) return std::nullopt;
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(name[i + static_cast<std::size_t>(k)]);
            if ((next & 0xC0u) != 0x80u) return std::nullopt;
            cp = (cp << 6) | (next & 0x3Fu);
        }
        if (cp < lowest || cp > 0x10FFFFu || (cp >= 0xD800u && cp <= 0xDFFFu)) {
            return std::nullopt;
        }
        appendCodePoint(out, cp);
        i += static_cast<std::size_t>(length);
    }
    return out;
}

}  // namespace korvane::tool
