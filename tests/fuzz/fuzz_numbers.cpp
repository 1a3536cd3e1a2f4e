// The number conversions replace the C library's, which follow the host's locale. Each must
// give exactly what the C library gives in the "C" locale, for any bytes a controller sends
// and any value a host passes.
#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "fuzz_support.h"
#include "protocol/numbers.h"

namespace korvane::fuzz {
namespace {

const char* afterSpaceAndSign(const char* p) {
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    if (*p == '+' || *p == '-') ++p;
    return p;
}

void checkEndWithin(const char* text, const char* end) {
    KORVANE_FUZZ_REQUIRE(end >= text);
    KORVANE_FUZZ_REQUIRE(end <= text + std::strlen(text));
}

void checkInt32(const char* text) {
    const char* end = nullptr;
    const std::int32_t value = parseInt32Prefix(text, &end);
    checkEndWithin(text, end);

    char* expectedEnd = nullptr;
    const long long wide = std::strtoll(text, &expectedEnd, 10);
    const long long expected = wide > std::numeric_limits<std::int32_t>::max()
                                   ? std::numeric_limits<std::int32_t>::max()
                                   : (wide < std::numeric_limits<std::int32_t>::min()
                                          ? std::numeric_limits<std::int32_t>::min()
                                          : wide);
    KORVANE_FUZZ_REQUIRE(value == expected);
    KORVANE_FUZZ_REQUIRE(end == expectedEnd);
}

bool sameFloat(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::memcmp(&a, &b, sizeof a) == 0;  // keeps -0 and +0 apart
}

// Returns the parsed value for the formatting checks.
float checkFloat(const char* text) {
    const char* end = nullptr;
    const float value = parseFloatPrefix(text, &end);
    checkEndWithin(text, end);
    if (end == text) KORVANE_FUZZ_REQUIRE(value == 0.0f && !std::signbit(value));

    // strtof also reads hexadecimal ("0x1p3"); the controller never sends it, and the
    // library reads only the "0" of it, so those texts are not compared.
    const char* digits = afterSpaceAndSign(text);
    if (digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) return value;
    char* expectedEnd = nullptr;
    const float expected = std::strtof(text, &expectedEnd);
    KORVANE_FUZZ_REQUIRE(end == expectedEnd);
    KORVANE_FUZZ_REQUIRE(sameFloat(value, expected));
    return value;
}

// size bytes in a block of their own, so that AddressSanitizer sees a write past them.
void checkFixed3(double value, std::size_t size) {
    char expected[512];
    const int expectedLength = std::snprintf(expected, sizeof expected, "%.3f", value);
    auto out = std::make_unique<char[]>(size == 0 ? 1 : size);
    const int length = formatFixed3(value, size == 0 ? nullptr : out.get(), size);
    KORVANE_FUZZ_REQUIRE(length == expectedLength);
    if (size == 0) return;
    const std::size_t written = std::strlen(out.get());
    KORVANE_FUZZ_REQUIRE(written < size);
    KORVANE_FUZZ_REQUIRE(written == std::min(static_cast<std::size_t>(length), size - 1));
    KORVANE_FUZZ_REQUIRE(std::memcmp(out.get(), expected, written) == 0);
}

// The shape of a jog line: every conversion of the little format language at once.
void checkJogCommand(char letter, double value, std::int32_t feed, std::size_t size) {
    char expected[512];
    const int expectedLength =
        std::snprintf(expected, sizeof expected, "$J=G91 %c%.3f F%d|%s|100%%", letter, value,
                      static_cast<int>(feed), "text");
    auto out = std::make_unique<char[]>(size == 0 ? 1 : size);
    const int length = formatCommand(size == 0 ? nullptr : out.get(), size,
                                     "$J=G91 %c%f F%d|%s|100%%", letter, value, feed, "text");
    KORVANE_FUZZ_REQUIRE(length == expectedLength);
    if (size == 0) return;
    // The letter may be NUL, so the comparison is by length, not by C string.
    const std::size_t written =
        std::min(static_cast<std::size_t>(length), static_cast<std::size_t>(size - 1));
    KORVANE_FUZZ_REQUIRE(out[written] == '\0');
    KORVANE_FUZZ_REQUIRE(std::memcmp(out.get(), expected, written) == 0);
}

template <typename T>
T bitsAt(const std::uint8_t* data, std::size_t size, std::size_t offset) {
    T value{};
    if (offset + sizeof value <= size) std::memcpy(&value, data + offset, sizeof value);
    return value;
}

}  // namespace
}  // namespace korvane::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The references below are the C library's conversions in the "C" locale.
    std::setlocale(LC_ALL, "C");
    return 0;
}

// The whole input is the text for both parsers; its first bytes also serve as the raw bits of
// a float and a double to format, and its last byte as the output buffer size.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace korvane::fuzz;
    const auto text = zeroTerminated(data, size);
    checkInt32(text.get());
    const float parsed = checkFloat(text.get());

    const std::size_t outSize = size == 0 ? 64 : data[size - 1];
    const float rawFloat = bitsAt<float>(data, size, 0);
    const double rawDouble = bitsAt<double>(data, size, 0);
    const std::int32_t feed = bitsAt<std::int32_t>(data, size, 4);
    const char letter = size > 0 ? static_cast<char>(data[0]) : 'x';
    for (const double value :
         {static_cast<double>(parsed), static_cast<double>(rawFloat), rawDouble}) {
        checkFixed3(value, 400);  // enough for every double
        checkFixed3(value, outSize);
        checkJogCommand(letter, value, feed, 512);
        checkJogCommand(letter, value, feed, outSize);
    }
    return 0;
}
