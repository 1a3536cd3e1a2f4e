#include "platform/stop_signals.h"

#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <ctime>

namespace korvane::tool {

StopSignals::StopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, &previous_);
}

StopSignals::~StopSignals() {
    const timespec zero{};
    while (sigtimedwait(&set_, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

bool StopSignals::wait(int ms) {
    if (requested_) return true;
    if (ms < 0) {
        int number = -1;
        while ((number = sigwaitinfo(&set_, nullptr)) < 0 && errno == EINTR) {
        }
        requested_ = true;
        signal_ = number;
        return true;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        timespec limit{};
        limit.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        limit.tv_nsec = static_cast<long>(left.count() % 1000000000);
        const int number = sigtimedwait(&set_, nullptr, &limit);
        if (number > 0) {
            requested_ = true;
            signal_ = number;
            return true;
        }
        // EINTR: another signal interrupted the wait; go on with what is left of it.
        if (errno == EAGAIN) return false;
    }
}

}  // namespace korvane::tool
