#include "platform/clock.h"

#include <windows.h>

namespace korvane {

std::uint32_t tickCount32() {
    return GetTickCount();
}

std::uint64_t tickCount64() {
    return GetTickCount64();
}

void sleepMs(std::uint32_t ms) {
    Sleep(ms);
}

}  // namespace korvane
