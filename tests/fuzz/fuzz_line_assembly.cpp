// Reply lines are assembled one byte at a time from whatever the controller sends: lines
// without end, CR and NUL anywhere, and lines far longer than any buffer.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "protocol/line_assembler.h"

namespace korvane::fuzz {
namespace {

// The capacity an assembler asked for `requested` really has: at least 1, at most the
// fixed buffer.
std::size_t effectiveCapacity(std::size_t requested) {
    if (requested == 0) return 1;
    return requested > LineAssembler::kMaxCapacity ? LineAssembler::kMaxCapacity : requested;
}

void checkCompletedLine(const LineAssembler& assembler, std::size_t capacity,
                        const std::string& expected) {
    const char* line = assembler.line();
    const std::size_t length = assembler.length();
    KORVANE_FUZZ_REQUIRE(length > 0);
    KORVANE_FUZZ_REQUIRE(length < capacity);
    KORVANE_FUZZ_REQUIRE(line[length] == '\0');
    KORVANE_FUZZ_REQUIRE(std::memchr(line, '\r', length) == nullptr);
    KORVANE_FUZZ_REQUIRE(std::memchr(line, '\n', length) == nullptr);
    // An over-long line is cut to its first capacity - 1 bytes, never split into two.
    KORVANE_FUZZ_REQUIRE(expected.compare(0, capacity - 1, line, length) == 0);

    const ReplyKind kind = classifyReply(line);
    if (kind == ReplyKind::StatusLine) KORVANE_FUZZ_REQUIRE(line[0] == '<');
    if (kind == ReplyKind::Ok) KORVANE_FUZZ_REQUIRE(length >= 2);
    if (kind == ReplyKind::Error) KORVANE_FUZZ_REQUIRE(length >= 6);
}

void feed(const std::uint8_t* data, std::size_t size, std::size_t requested) {
    const std::size_t capacity = effectiveCapacity(requested);
    LineAssembler assembler(requested);
    // Every byte of the current line but CR: what the completed line must begin with.
    std::string pending;
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char byte = data[i];
        const bool completed = assembler.push(byte);
        if (byte == '\n') {
            // Only a line that stored at least one byte completes; an empty one is skipped,
            // and a capacity of 1 stores none.
            KORVANE_FUZZ_REQUIRE(completed == (!pending.empty() && capacity > 1));
            if (completed) checkCompletedLine(assembler, capacity, pending);
            if (completed || pending.empty()) pending.clear();
        } else {
            KORVANE_FUZZ_REQUIRE(!completed);
            if (byte != '\r') pending.push_back(static_cast<char>(byte));
        }
        KORVANE_FUZZ_REQUIRE(assembler.length() < capacity);
    }
}

}  // namespace
}  // namespace korvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // 0 and 4096 check the clamping at both ends; 8 makes cutting common; 256 and 512 are the
    // capacities the library uses.
    for (const std::size_t capacity : {0, 1, 8, 256, 512, 4096}) {
        korvane::fuzz::feed(data, size, capacity);
    }
    return 0;
}
