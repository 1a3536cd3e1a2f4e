#include "support/pty_pair.h"

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace korvane::test {

PtyPair::PtyPair(Settings settings) {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        std::abort();
    }
    termios tio{};
    tcgetattr(slave_, &tio);
    if (settings == Settings::Raw) {
        // No echo of what the controller sends, no newline translation.
        cfmakeraw(&tio);
    } else {
        tio.c_iflag = ICRNL | IXON | IXOFF;
        tio.c_oflag = OPOST | ONLCR;
        tio.c_cflag = CS8 | CREAD | HUPCL;
        tio.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN;
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
    }
    // Both ends of a pty share one set of terminal settings.
    tcsetattr(slave_, TCSANOW, &tio);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    slavePath_ = name;
}

PtyPair::~PtyPair() {
    closeMaster();
    if (slave_ >= 0) ::close(slave_);
}

std::wstring PtyPair::slavePathWide() const {
    return std::wstring(slavePath_.begin(), slavePath_.end());
}

void PtyPair::closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

}  // namespace korvane::test
