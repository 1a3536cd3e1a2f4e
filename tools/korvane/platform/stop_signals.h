// Waiting for Ctrl-C or a termination request.
//
// On Linux (stop_signals_posix.cpp) without a signal handler or a global flag: SIGINT and
// SIGTERM are blocked from construction on; threads created afterwards (the simulator's, the
// library's velocity worker) inherit that, so the signal stays pending for the process until
// wait() takes it, and the program can end its session cleanly
// (velocity stopped, port closed) instead of dying in the middle of a call. On Windows
// (stop_signals_win32.cpp) a console control handler does the same for Ctrl-C, Ctrl-Break
// and closing the console.
#pragma once

#if !defined(_WIN32)
#include <signal.h>
#else
#include <csignal>
#endif

namespace korvane::tool {

class StopSignals {
  public:
    StopSignals();
    // Discards a request that arrived too late to be waited for, then restores the mask:
    // unblocking a pending SIGINT would otherwise kill the process during its clean exit.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits up to `ms` milliseconds (forever when negative). True once a stop was requested;
    // it stays true for every later call.
    bool wait(int ms);
    bool requested() const { return requested_; }
    // The signal that made the request (SIGINT, SIGTERM; SIGINT for every console event on
    // Windows), 0 before one came. Shells report a program ended by signal N as 128 + N.
    int signalNumber() const { return signal_; }

  private:
#if !defined(_WIN32)
    sigset_t set_;
    sigset_t previous_;
#endif
    bool requested_ = false;
    int signal_ = 0;
};

}  // namespace korvane::tool
