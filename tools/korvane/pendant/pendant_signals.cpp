#include "pendant/pendant_signals.h"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace korvane::tool {

PendantSignals::PendantSignals() {
    sigemptyset(&set_);
    for (const int signal :
         {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGWINCH, SIGTSTP, SIGTTIN, SIGTTOU}) {
        sigaddset(&set_, signal);
    }
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
    fd_ = signalfd(-1, &set_, SFD_NONBLOCK | SFD_CLOEXEC);
}

PendantSignals::~PendantSignals() {
    if (fd_ >= 0) close(fd_);
    const timespec zero{};
    while (sigtimedwait(&set_, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int PendantSignals::take() {
    signalfd_siginfo info{};
    for (;;) {
        const ssize_t got = read(fd_, &info, sizeof info);
        if (got == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
        if (got < 0 && errno == EINTR) continue;
        return 0;
    }
}

const char* signalName(int signal) {
    switch (signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGQUIT:
            return "SIGQUIT";
        case SIGWINCH:
            return "SIGWINCH";
        default:
            return "a signal";
    }
}

}  // namespace korvane::tool
