// The calling convention across the DLL boundary. If the DLL and its callers disagreed about
// who removes the arguments from the stack (__stdcall: the callee), every call would move
// the caller's stack pointer by the size of its arguments; a few calls may go unnoticed, so
// every signature is called thousands of times and the stack pointer compared afterwards.
#include <cstdint>

#include "scenarios.h"

namespace korvane::wine {

namespace {

constexpr int kRounds = 4000;

// The stack pointer as the processor has it, not as the compiler assumes it to be.
__attribute__((always_inline)) inline std::uintptr_t stackPointer() {
    std::uintptr_t sp = 0;
#if defined(__x86_64__)
    asm volatile("movq %%rsp, %0" : "=r"(sp));
#elif defined(__i386__)
    asm volatile("movl %%esp, %0" : "=r"(sp));
#else
#error "stackPointer() knows x86 and x64 only"
#endif
    return sp;
}

// The stack pointer is read inside the calling function, before its epilogue could put it
// back from a frame pointer and hide a drift.
struct Outcome {
    long long stackMoved = 0;
    int wrong = 0;  // calls whose result was not the expected one
};

// Calls that return before any port traffic: null handles, null out-pointers, an axis out
// of range. Each export's result is checked so that a wrong call cannot pass silently.
__attribute__((noinline)) Outcome callEverySignature(const KorvaneApi& api, DeviceHandle h,
                                                     const wchar_t* port) {
    const std::uintptr_t before = stackPointer();
    int wrong = 0;
    DeviceHandle out = nullptr;
    char text[8];
    auto want = [&wrong](std::int32_t expected, std::int32_t result) {
        if (result != expected) ++wrong;
    };
    for (int i = 0; i < kRounds; ++i) {
        want(KORVANE_INVALID_ARGUMENT, api.Connect(nullptr, 115200, &out));
        want(KORVANE_INVALID_ARGUMENT, api.Connect(port, 115200, nullptr));
        want(KORVANE_INVALID_HANDLE, api.Disconnect(nullptr));
        if (api.GetLastError(nullptr) == nullptr || api.GetLastError(h) == nullptr) ++wrong;
        if (api.GetVersion() == nullptr) ++wrong;
        want(KORVANE_INVALID_ARGUMENT, api.GetState(h, nullptr));
        want(KORVANE_INVALID_ARGUMENT, api.GetPosition(h, nullptr, nullptr));
        want(KORVANE_INVALID_ARGUMENT, api.GetSpeed(h, nullptr));
        want(KORVANE_INVALID_ARGUMENT, api.GetLimits(h, nullptr));
        want(KORVANE_INVALID_ARGUMENT, api.GetDeviceUUID(h, text, 0));
        want(KORVANE_INVALID_ARGUMENT, api.JogAbs(h, 6, 1.0f, 100.0f));
        want(KORVANE_INVALID_ARGUMENT, api.JogRel(h, 6, 1.0f, 100.0f));
        want(KORVANE_INVALID_ARGUMENT, api.SetPos(h, 6, 1.0f));
        want(KORVANE_INVALID_ARGUMENT, api.SetAcceleration(h, 6, 100.0f));
        want(KORVANE_INVALID_ARGUMENT, api.EnableSoftLimits(h, 6, 1));
        want(KORVANE_INVALID_ARGUMENT, api.SetSoftLimitRange(h, 6, 100.0f, 0.0f));
        want(KORVANE_INVALID_HANDLE, api.EmergencyStop(nullptr));
        want(KORVANE_INVALID_HANDLE, api.FeedHold(nullptr));
        want(KORVANE_INVALID_HANDLE, api.Resume(nullptr));
        want(KORVANE_INVALID_ARGUMENT, api.Home(h, 6));
        want(KORVANE_INVALID_ARGUMENT, api.VelocityStart(h, 6, 600.0f));
        want(KORVANE_INVALID_HANDLE, api.VelocityStop(nullptr));
    }
    const std::uintptr_t after = stackPointer();
    return {static_cast<long long>(after) - static_cast<long long>(before), wrong};
}

// Calls that talk to the controller, fewer of them since each is a round trip.
__attribute__((noinline)) Outcome callWithTraffic(const KorvaneApi& api, DeviceHandle h) {
    const std::uintptr_t before = stackPointer();
    int wrong = 0;
    for (int i = 0; i < 300; ++i) {
        std::int32_t state = 0;
        float positions[6];
        std::int32_t count = 0;
        float feed = 0;
        std::int32_t limits[4];
        if (api.GetState(h, &state) != KORVANE_SUCCESS) ++wrong;
        if (api.GetPosition(h, positions, &count) != KORVANE_SUCCESS) ++wrong;
        if (api.GetSpeed(h, &feed) != KORVANE_SUCCESS) ++wrong;
        if (api.GetLimits(h, limits) != KORVANE_SUCCESS) ++wrong;
        if (api.Resume(h) != KORVANE_SUCCESS) ++wrong;
    }
    const std::uintptr_t after = stackPointer();
    return {static_cast<long long>(after) - static_cast<long long>(before), wrong};
}

}  // namespace

bool runStack(Session& s) {
    if (!s.connect()) return false;
    const Outcome refused = callEverySignature(s.api(), s.handle(), s.port());
    const Outcome traffic = callWithTraffic(s.api(), s.handle());

    s.value("calls", "%d", kRounds * 23 + 300 * 5);
    s.value("stack_moved", "%lld", refused.stackMoved + traffic.stackMoved);
    if (refused.stackMoved != 0 || traffic.stackMoved != 0) {
        s.fail(
            "the stack pointer moved by %lld bytes over the refused calls and by %lld over "
            "the calls with traffic",
            refused.stackMoved, traffic.stackMoved);
    }
    if (refused.wrong != 0) s.fail("%d refused calls gave an unexpected result", refused.wrong);
    if (traffic.wrong != 0) s.fail("%d calls with traffic failed", traffic.wrong);
    s.disconnect();
    return s.passed();
}

}  // namespace korvane::wine
