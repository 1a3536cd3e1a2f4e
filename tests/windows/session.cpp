#include "session.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace korvane::wine {

namespace {

const char* resultName(std::int32_t result) {
    switch (result) {
        case KORVANE_SUCCESS:
            return "SUCCESS";
        case KORVANE_NOT_CONNECTED:
            return "NOT_CONNECTED";
        case KORVANE_ALREADY_CONNECTED:
            return "ALREADY_CONNECTED";
        case KORVANE_PORT_OPEN_FAILED:
            return "PORT_OPEN_FAILED";
        case KORVANE_WRITE_FAILED:
            return "WRITE_FAILED";
        case KORVANE_TIMEOUT:
            return "TIMEOUT";
        case KORVANE_VELOCITY_ACTIVE:
            return "VELOCITY_ACTIVE";
        case KORVANE_FIRMWARE_ERROR:
            return "FIRMWARE_ERROR";
        case KORVANE_INVALID_ARGUMENT:
            return "INVALID_ARGUMENT";
        case KORVANE_INVALID_HANDLE:
            return "INVALID_HANDLE";
        case KORVANE_RESOURCE_FAILURE:
            return "RESOURCE_FAILURE";
        default:
            return "?";
    }
}

}  // namespace

bool Session::expect(std::int32_t expected, const char* call, std::int32_t result) {
    std::printf("%s -> %d %s\n", call, static_cast<int>(result), resultName(result));
    if (result != KORVANE_SUCCESS) {
        // A refused null handle has no connection to ask; the library answers for it.
        const DeviceHandle about = result == KORVANE_INVALID_HANDLE ? nullptr : handle_;
        std::printf("    last error: \"%s\"\n", api_.GetLastError(about));
    }
    if (result == expected) return true;
    fail("%s: wanted %d %s", call, static_cast<int>(expected), resultName(expected));
    return false;
}

bool Session::connect() {
    const KorvaneApi& api = api_;
    DeviceHandle h = nullptr;
    if (!KORVANE_EXPECT(*this, KORVANE_SUCCESS, api.Connect(port_, 115200, &h))) return false;
    if (h == nullptr) {
        fail("Korvane_Connect succeeded with a null handle");
        return false;
    }
    handle_ = h;
    return true;
}

bool Session::disconnect() {
    const KorvaneApi& api = api_;
    const DeviceHandle h = handle_;
    handle_ = nullptr;
    return KORVANE_EXPECT(*this, KORVANE_SUCCESS, api.Disconnect(h));
}

bool Session::expectMessage(const char* expected) {
    const char* text = api_.GetLastError(handle_);
    if (text != nullptr && std::strcmp(text, expected) == 0) return true;
    fail("last error \"%s\", wanted \"%s\"", text != nullptr ? text : "(null)", expected);
    return false;
}

void Session::value(const char* name, const char* format, ...) {
    std::printf("= %s ", name);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

void Session::fail(const char* format, ...) {
    passed_ = false;
    std::printf("FAILED: ");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
}

bool Session::waitForState(std::int32_t wanted, std::uint32_t timeoutMs) {
    const DWORD start = GetTickCount();
    std::int32_t state = KORVANE_STATE_UNKNOWN;
    std::int32_t result = KORVANE_SUCCESS;
    do {
        result = api_.GetState(handle_, &state);
        if (result == KORVANE_SUCCESS && state == wanted) {
            std::printf("Korvane_GetState reached %d after %lu ms\n", static_cast<int>(wanted),
                        static_cast<unsigned long>(GetTickCount() - start));
            return true;
        }
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    fail("state %d (last result %d) after %lu ms, wanted state %d", static_cast<int>(state),
         static_cast<int>(result), static_cast<unsigned long>(timeoutMs), static_cast<int>(wanted));
    return false;
}

void Session::pollState(std::uint32_t ms) {
    const KorvaneApi& api = api_;
    const DeviceHandle h = handle_;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < ms) {
        std::int32_t state = KORVANE_STATE_UNKNOWN;
        if (KORVANE_EXPECT(*this, KORVANE_SUCCESS, api.GetState(h, &state))) {
            std::printf("    state %d\n", static_cast<int>(state));
        }
        Sleep(100);
    }
}

}  // namespace korvane::wine
