// A controller on a pty that answers every "?" with a status report as fast as it can: the
// other end of the exchange benchmarks.
#pragma once

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

namespace korvane::bench {

constexpr char kReport[] = "<Idle|MPos:0.000,0.000,0.000,0.000,0.000,0.000|FS:0,0|Lim:0,0,0,0>\r\n";

// A controller that answers every "?" with a status report, as fast as it can.
class InstantController {
  public:
    InstantController() {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) std::abort();
        for (int fd : {master_, slave_}) {
            termios tio{};
            tcgetattr(fd, &tio);
            cfmakeraw(&tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
        path_ = name;
        thread_ = std::thread([this] { serve(); });
    }
    ~InstantController() {
        stop_ = true;
        thread_.join();
        ::close(master_);
        ::close(slave_);
    }
    const std::string& path() const { return path_; }

  private:
    void serve() {
        char buffer[256];
        while (!stop_) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0 || (p.revents & POLLIN) == 0) continue;
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] == '?' && ::write(master_, kReport, sizeof kReport - 1) < 0) return;
            }
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace korvane::bench
