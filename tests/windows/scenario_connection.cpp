// Connection scenarios: the DLL's front door under Wine.
#include <cstring>

#include "scenarios.h"

namespace korvane::wine {

bool runSmoke(Session& s) {
    const char* version = s.api().GetVersion();
    s.value("version", "%s", version != nullptr ? version : "(null)");
    if (version == nullptr || std::strcmp(version, KORVANE_VERSION_STRING) != 0)
        s.fail("wrong version");
    if (!s.connect()) return false;
    s.disconnect();
    return s.passed();
}

bool runNoController(Session& s) {
    // Nothing answers to a port number beyond what Wine maps to a device.
    const auto sentinel = reinterpret_cast<DeviceHandle>(static_cast<std::uintptr_t>(0x5A5A));
    DeviceHandle handle = sentinel;
    KORVANE_EXPECT(s, KORVANE_PORT_OPEN_FAILED, s.api().Connect(L"COM300", 115200, &handle));
    if (handle != sentinel) s.fail("a failed Korvane_Connect wrote the handle");
    // No handle came back: the message is kept for a null handle on this thread.
    s.value("open_error", "%s", s.api().GetLastError(nullptr));

    // The port opens but stays silent: the probe has to give up on its own, which it can
    // only do if the read time-outs work on this platform.
    const DWORD start = GetTickCount();
    KORVANE_EXPECT(s, KORVANE_TIMEOUT, s.api().Connect(s.port(), 115200, &handle));
    s.value("probe_ms", "%lu", static_cast<unsigned long>(GetTickCount() - start));
    if (handle != sentinel) s.fail("a failed Korvane_Connect wrote the handle");
    s.value("timeout_error", "%s", s.api().GetLastError(nullptr));
    return s.passed();
}

}  // namespace korvane::wine
