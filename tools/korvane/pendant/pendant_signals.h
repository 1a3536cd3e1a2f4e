// The signals the pendant takes in its main loop instead of dying from them.
//
// Blocked from construction on, so that threads created afterwards (the library's velocity
// worker) inherit the mask, and read through a signalfd that the loop polls beside the
// keyboard: SIGINT, SIGTERM, SIGHUP (terminal or SSH session closed) and SIGQUIT end the
// session cleanly (velocity mode stopped first, then the terminal restored); SIGWINCH reports
// a new terminal size. Job-control stops (SIGTSTP, SIGTTIN, SIGTTOU) are blocked too: a
// pendant stopped in the background could no longer stop a jog on release. (Blocked, SIGTTIN
// makes a background read fail, and SIGTTOU lets a background write through.)
#pragma once

#include <signal.h>

namespace korvane::tool {

class PendantSignals {
  public:
    PendantSignals();
    // Closes the descriptor, discards signals still pending and restores the mask.
    ~PendantSignals();
    PendantSignals(const PendantSignals&) = delete;
    PendantSignals& operator=(const PendantSignals&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // The next pending signal, or 0 when none is.
    int take();

  private:
    sigset_t set_;
    sigset_t previous_;
    int fd_ = -1;
};

// "SIGTERM", ... for the signals above.
const char* signalName(int signal);

}  // namespace korvane::tool
