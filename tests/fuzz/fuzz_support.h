// What every fuzz target shares: turning the input into the text a parser sees, and failing
// loudly on a broken invariant so that libFuzzer keeps the input that broke it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// An abort is what libFuzzer records as a crash; a plain assert would vanish under NDEBUG.
#define KORVANE_FUZZ_REQUIRE(condition)                                                            \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace korvane::fuzz {

// The bytes as a zero-terminated text in a heap block of exactly size + 1 bytes, so that
// AddressSanitizer catches a read one byte past the terminator. NUL bytes inside stay: a
// controller can send them, and the C-string code must simply stop at the first one.
inline std::unique_ptr<char[]> zeroTerminated(const std::uint8_t* data, std::size_t size) {
    auto text = std::make_unique<char[]>(size + 1);
    if (size > 0) std::memcpy(text.get(), data, size);
    text[size] = '\0';
    return text;
}

}  // namespace korvane::fuzz
