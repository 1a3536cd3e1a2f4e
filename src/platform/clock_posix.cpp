#include "platform/clock.h"

#include <ctime>

#include <cerrno>

namespace korvane {

namespace {
std::uint64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}
}  // namespace

std::uint32_t tickCount32() {
    return static_cast<std::uint32_t>(monotonicMs());
}

std::uint64_t tickCount64() {
    return monotonicMs();
}

void sleepMs(std::uint32_t ms) {
    timespec request{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    timespec remaining{};
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

}  // namespace korvane
