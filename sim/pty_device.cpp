#include "pty_device.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace korvane::sim {

namespace {

std::string describe(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool addFlags(int fd, int statusFlags) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | statusFlags) == 0;
}

}  // namespace

bool PtyDevice::open() {
    close();
    error_.clear();
    int master = -1;
    int slave = -1;
    char name[PATH_MAX] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        error_ = describe("openpty");
        return false;
    }
    master_ = master;
    slave_ = slave;
    slavePath_ = name;

    // The slave stays open here for the simulator's whole life: without it the master would
    // read EIO whenever the host closes its end, and the line settings would fall back to
    // the driver's cooked defaults (echo included) before the host's next open.
    termios tio{};
    if (tcgetattr(slave_, &tio) != 0) {
        error_ = describe("tcgetattr");
        close();
        return false;
    }
    cfmakeraw(&tio);
    if (tcsetattr(slave_, TCSANOW, &tio) != 0) {
        error_ = describe("tcsetattr");
        close();
        return false;
    }
    if (fcntl(master_, F_SETFD, FD_CLOEXEC) != 0 || fcntl(slave_, F_SETFD, FD_CLOEXEC) != 0 ||
        !addFlags(master_, O_NONBLOCK)) {
        error_ = describe("fcntl");
        close();
        return false;
    }
    return true;
}

void PtyDevice::close() {
    if (master_ != -1) ::close(master_);
    if (slave_ != -1) ::close(slave_);
    master_ = -1;
    slave_ = -1;
    slavePath_.clear();
}

}  // namespace korvane::sim
