// Ctrl-C, Ctrl-Break and closing the console window on Windows. A console control handler
// runs on a thread of its own and has no context argument, so it reaches the waiting
// StopSignals through one process-wide event.
#include <windows.h>

#include "platform/stop_signals.h"

namespace korvane::tool {

namespace {

HANDLE stopEvent() {
    // Manual reset: once requested, every later wait sees it, as on Linux.
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI onConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            SetEvent(stopEvent());
            return TRUE;  // handled: the waiting command ends its session cleanly
        default:
            return FALSE;
    }
}

}  // namespace

StopSignals::StopSignals() {
    if (stopEvent() != nullptr) SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

StopSignals::~StopSignals() {
    if (stopEvent() != nullptr) SetConsoleCtrlHandler(onConsoleControl, FALSE);
}

bool StopSignals::wait(int ms) {
    if (requested_) return true;
    const HANDLE event = stopEvent();
    if (event == nullptr) {
        // Without an event nothing can be waited for; the pause still happens.
        if (ms >= 0) Sleep(static_cast<DWORD>(ms));
        return false;
    }
    const DWORD limit = ms < 0 ? INFINITE : static_cast<DWORD>(ms);
    requested_ = WaitForSingleObject(event, limit) == WAIT_OBJECT_0;
    if (requested_) signal_ = SIGINT;
    return requested_;
}

}  // namespace korvane::tool
