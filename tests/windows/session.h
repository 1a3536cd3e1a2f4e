// One scenario run against Korvane.dll: every call is printed with its result, and every
// result or value that differs from what the scenario expects marks the run failed.
#pragma once

#include <cstdint>

#include "korvane_api.h"

namespace korvane::wine {

class Session {
  public:
    Session(const KorvaneApi& api, const wchar_t* port) : api_(api), port_(port) {}
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const KorvaneApi& api() const { return api_; }
    const wchar_t* port() const { return port_; }
    // The open connection, or null; its last error is printed after each failing call.
    DeviceHandle handle() const { return handle_; }
    void setHandle(DeviceHandle handle) { handle_ = handle; }

    // Korvane_Connect at 115200 baud on the session's port, keeping the handle; and the
    // matching Korvane_Disconnect.
    bool connect();
    bool disconnect();

    // Prints "call -> result", and the last error for every non-zero result. True when the
    // result is the expected one; otherwise the run has failed.
    bool expect(std::int32_t expected, const char* call, std::int32_t result);
    // Checks the connection's last error against the exact text the library promises.
    bool expectMessage(const char* expected);
    // Prints a value the driver reads back: "= name value".
    void value(const char* name, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;
    // Marks the run failed with a reason.
    void fail(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    bool passed() const {
        return passed_;
    }

    // Polls Korvane_GetState until it reports wanted or timeoutMs pass; prints the outcome.
    bool waitForState(std::int32_t wanted, std::uint32_t timeoutMs);
    // Polls Korvane_GetState every 100 ms for about ms, as a host does in velocity mode.
    void pollState(std::uint32_t ms);

  private:
    const KorvaneApi& api_;
    const wchar_t* port_;
    DeviceHandle handle_ = nullptr;
    bool passed_ = true;
};

// Runs one export through the session, printing its source text as the call's name.
#define KORVANE_EXPECT(session, expected, call) (session).expect((expected), #call, (call))

}  // namespace korvane::wine
