// A time limit measured on the 32-bit millisecond tick count, with subtraction that cannot
// wrap: once the limit has passed, what remains is 0, never a difference that underflows to
// about 49 days.
#pragma once

#include <cstdint>

#include "platform/clock.h"

namespace korvane {

// What is left of limitMs, started at start, at the tick count now: 0 once it has passed.
constexpr std::uint32_t remainingMs(std::uint32_t start, std::uint32_t limitMs, std::uint32_t now) {
    const std::uint32_t spent = elapsedMs(start, now);
    return spent >= limitMs ? 0 : limitMs - spent;
}

class Deadline {
  public:
    explicit Deadline(std::uint32_t limitMs) : start_(tickCount32()), limit_(limitMs) {}
    std::uint32_t remaining() const { return remainingMs(start_, limit_, tickCount32()); }
    bool passed() const { return remaining() == 0; }
    std::uint32_t elapsed() const { return elapsedMs(start_, tickCount32()); }

  private:
    std::uint32_t start_;
    std::uint32_t limit_;
};

}  // namespace korvane
