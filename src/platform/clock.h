// Millisecond tick counts and sleeping: the time base of every read loop and time limit.
#pragma once

#include <cstdint>

namespace korvane {

// Milliseconds since an arbitrary start, wrapping at 2^32. Time limits are measured as
// differences of two such counts with elapsedMs, which stays right across the wrap.
std::uint32_t tickCount32();

// Milliseconds on a monotonic clock that does not wrap in practice.
std::uint64_t tickCount64();

// Sleeps at least ms milliseconds, resuming the sleep when it is woken early.
void sleepMs(std::uint32_t ms);

// Milliseconds from start to now in unsigned 32-bit arithmetic: correct across the wrap.
constexpr std::uint32_t elapsedMs(std::uint32_t start, std::uint32_t now) {
    return now - start;
}

}  // namespace korvane
