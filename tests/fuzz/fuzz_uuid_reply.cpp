// The UUID answer is the one piece of controller text copied into a buffer the host owns:
// whatever the line holds, not one byte may land outside that buffer.
#include <cstring>
#include <memory>

#include "fuzz_support.h"
#include "protocol/device_identity.h"

namespace korvane::fuzz {
namespace {

constexpr std::size_t kGuardSize = 16;
constexpr unsigned char kGuardByte = 0xA5;
constexpr unsigned char kStaleByte = 0xCC;  // what the host's buffer held before the call

void checkValuePosition(const char* line, const char* value) {
    const char* equals = std::strchr(line, '=');
    if (equals == nullptr) {
        KORVANE_FUZZ_REQUIRE(value == line);
    } else {
        KORVANE_FUZZ_REQUIRE(value == equals + 1);
    }
}

void checkCopy(const char* value, std::size_t length) {
    // The host's buffer with guard bytes on either side.
    auto block = std::make_unique<unsigned char[]>(kGuardSize + length + kGuardSize);
    std::memset(block.get(), kGuardByte, kGuardSize);
    std::memset(block.get() + kGuardSize, kStaleByte, length);
    std::memset(block.get() + kGuardSize + length, kGuardByte, kGuardSize);
    char* buffer = reinterpret_cast<char*>(block.get() + kGuardSize);

    copyUuidValue(value, buffer, length);

    for (std::size_t i = 0; i < kGuardSize; ++i) {
        KORVANE_FUZZ_REQUIRE(block[i] == kGuardByte);
        KORVANE_FUZZ_REQUIRE(block[kGuardSize + length + i] == kGuardByte);
    }
    KORVANE_FUZZ_REQUIRE(buffer[length - 1] == '\0');
    const std::size_t copied = std::strlen(buffer);
    const std::size_t available = std::strlen(value);
    KORVANE_FUZZ_REQUIRE(copied == (available < length - 1 ? available : length - 1));
    KORVANE_FUZZ_REQUIRE(std::memcmp(buffer, value, copied) == 0);
    // Nothing of what the buffer held before may follow the text.
    for (std::size_t i = copied; i < length; ++i) KORVANE_FUZZ_REQUIRE(buffer[i] == '\0');
}

}  // namespace
}  // namespace korvane::fuzz

// The first byte chooses the buffer length (1..300), the rest is the answer line.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t length = 1 + (static_cast<std::size_t>(data[0]) * 299) / 255;
    const auto line = korvane::fuzz::zeroTerminated(data + 1, size - 1);
    const char* value = korvane::uuidValueOf(line.get());
    korvane::fuzz::checkValuePosition(line.get(), value);
    korvane::fuzz::checkCopy(value, length);
    return 0;
}
