#include "serial/port_name.h"

#include <cstdint>

namespace korvane {

void windowsDevicePath(const wchar_t* name, wchar_t (&path)[kWindowsDevicePathChars]) {
    static constexpr wchar_t kPrefix[] = L"\\\\.\\";
    std::size_t n = 0;
    for (const wchar_t* p = kPrefix; *p != L'\0' && n + 1 < kWindowsDevicePathChars; ++p) {
        path[n++] = *p;
    }
    for (const wchar_t* p = name; p != nullptr && *p != L'\0' && n + 1 < kWindowsDevicePathChars;
         ++p) {
        path[n++] = *p;
    }
    path[n] = L'\0';
}

namespace {

// Reads one code point from a wide string, combining UTF-16 surrogate pairs where wchar_t is
// 16 bits. Returns false for an invalid code point or a lone surrogate.
bool nextCodePoint(const wchar_t*& p, std::uint32_t* cp) {
    std::uint32_t c = static_cast<std::uint32_t>(*p++);
    if constexpr (sizeof(wchar_t) == 2) {
        c &= 0xFFFFu;
        if (c >= 0xD800u && c <= 0xDBFFu) {
            const std::uint32_t low = static_cast<std::uint32_t>(*p) & 0xFFFFu;
            if (low < 0xDC00u || low > 0xDFFFu) return false;
            ++p;
            c = 0x10000u + ((c - 0xD800u) << 10) + (low - 0xDC00u);
        } else if (c >= 0xDC00u && c <= 0xDFFFu) {
            return false;
        }
    }
    if (c > 0x10FFFFu || (c >= 0xD800u && c <= 0xDFFFu)) return false;
    *cp = c;
    return true;
}

bool put(char* path, std::size_t size, std::size_t* n, std::uint32_t byte) {
    if (*n + 1 >= size) return false;
    path[(*n)++] = static_cast<char>(static_cast<unsigned char>(byte));
    return true;
}

bool putUtf8(char* path, std::size_t size, std::size_t* n, std::uint32_t cp) {
    if (cp < 0x80u) return put(path, size, n, cp);
    if (cp < 0x800u) {
        return put(path, size, n, 0xC0u | (cp >> 6)) && put(path, size, n, 0x80u | (cp & 0x3Fu));
    }
    if (cp < 0x10000u) {
        return put(path, size, n, 0xE0u | (cp >> 12)) &&
               put(path, size, n, 0x80u | ((cp >> 6) & 0x3Fu)) &&
               put(path, size, n, 0x80u | (cp & 0x3Fu));
    }
    return put(path, size, n, 0xF0u | (cp >> 18)) &&
           put(path, size, n, 0x80u | ((cp >> 12) & 0x3Fu)) &&
           put(path, size, n, 0x80u | ((cp >> 6) & 0x3Fu)) &&
           put(path, size, n, 0x80u | (cp & 0x3Fu));
}

}  // namespace

bool devicePathFromName(const wchar_t* name, char* path, std::size_t size) {
    if (name == nullptr || *name == L'\0' || path == nullptr || size == 0) return false;
    std::size_t n = 0;
    if (*name != L'/') {
        for (const char* p = "/dev/"; *p != '\0'; ++p) {
            if (!put(path, size, &n, static_cast<unsigned char>(*p))) return false;
        }
    }
    for (const wchar_t* p = name; *p != L'\0';) {
        std::uint32_t cp = 0;
        if (!nextCodePoint(p, &cp) || !putUtf8(path, size, &n, cp)) return false;
    }
    path[n] = '\0';
    return true;
}

}  // namespace korvane
