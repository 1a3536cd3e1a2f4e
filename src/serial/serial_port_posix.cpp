// SerialPort on a POSIX terminal device (termios), including pseudo-terminals.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "serial/port_name.h"
#include "serial/port_open_failure.h"
#include "serial/serial_port.h"

namespace korvane {

namespace {

bool baudToSpeed(std::int32_t baud, speed_t* speed) {
    struct Entry {
        std::int32_t baud;
        speed_t speed;
    };
    static constexpr Entry kTable[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const Entry& e : kTable) {
        if (e.baud == baud) {
            *speed = e.speed;
            return true;
        }
    }
    return false;
}

// Input processing that must be off. Linux opens a serial port with IXON and ICRNL set: with
// software flow control on, one stray 0x13 from the controller (boot or line noise) would
// stop every write, the emergency stop included.
constexpr tcflag_t kInputOff = IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                               IXOFF | IXANY | INPCK | IMAXBEL;
constexpr tcflag_t kLocalOff = ECHO | ECHONL | ICANON | ISIG | IEXTEN;
// No hardware flow control either. A CRTSCTS left on by an earlier program makes every write
// wait for CTS, which a controller board without the line wired (or an adapter that leaves
// it floating) never raises: the emergency stop would sit in the output queue until the
// write budget runs out.
constexpr tcflag_t kControlOff = PARENB | CSTOPB | CRTSCTS;

// Raw 8N1: no line editing, echo, signals, newline translation or flow control.
void makeRaw(termios* tio, speed_t speed) {
    tio->c_iflag &= ~kInputOff;
    tio->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio->c_lflag &= ~kLocalOff;
    tio->c_cflag &= ~static_cast<tcflag_t>(CSIZE | kControlOff);
    tio->c_cflag |= CS8 | CREAD | CLOCAL;
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
    cfsetispeed(tio, speed);
    cfsetospeed(tio, speed);
}

// tcsetattr succeeds when any one of the changes took, so what the driver kept is read back.
bool lineSettingsTook(const termios& actual, speed_t speed) {
    return (actual.c_iflag & kInputOff) == 0 && (actual.c_oflag & OPOST) == 0 &&
           (actual.c_lflag & kLocalOff) == 0 && (actual.c_cflag & CSIZE) == CS8 &&
           (actual.c_cflag & kControlOff) == 0 && cfgetispeed(&actual) == speed &&
           cfgetospeed(&actual) == speed;
}

// The system's words for an error number, whichever strerror_r the C library has.
[[maybe_unused]] const char* chosenText(int, const char* buffer) {
    return buffer;  // XSI: the text is in the buffer
}
[[maybe_unused]] const char* chosenText(const char* text, const char*) {
    return text;  // GNU: the text may be a static string instead
}

void setSystemFailure(PortOpenFailure* why, PortOpenProblem problem, int error) {
    why->set(problem, PortOpenErrorSource::Errno, static_cast<unsigned long>(error));
    char buffer[PortOpenFailure::kSystemTextChars] = {};
    std::snprintf(why->systemText, sizeof why->systemText, "%s",
                  chosenText(strerror_r(error, buffer, sizeof buffer), buffer));
}

// The group whose members may read and write the device, if joining it would help: not
// root's group, and open to its group for both.
void deviceGroup(const char* path, char (&group)[PortOpenFailure::kGroupChars]) {
    struct stat device {};
    if (stat(path, &device) != 0 || device.st_gid == 0) return;
    if ((device.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) return;
    struct group entry {};
    struct group* found = nullptr;
    char buffer[4096];
    if (getgrgid_r(device.st_gid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
        return;
    std::snprintf(group, sizeof group, "%s", found->gr_name);
}

// Why open(2) failed on path, from its errno.
void explainOpenError(const char* path, int error, PortOpenFailure* why) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:  // a device node whose hardware is gone
        case ENODEV:
            setSystemFailure(why, PortOpenProblem::NoSuchPort, error);
            return;
        case EBUSY:  // held exclusively (TIOCEXCL) by another program
            setSystemFailure(why, PortOpenProblem::InUse, error);
            return;
        case EACCES:
        case EPERM:
            setSystemFailure(why, PortOpenProblem::PermissionDenied, error);
            deviceGroup(path, why->group);
            return;
        default:
            setSystemFailure(why, PortOpenProblem::Other, error);
            return;
    }
}

bool configureLine(int fd, std::int32_t baudRate, PortOpenFailure* why) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        // ENOTTY: a file or another device that is no terminal, /dev/null say.
        const int error = errno;
        setSystemFailure(
            why, error == ENOTTY ? PortOpenProblem::NotSerialDevice : PortOpenProblem::Other,
            error);
        return false;
    }
    speed_t speed{};
    if (!baudToSpeed(baudRate, &speed)) {
        why->set(PortOpenProblem::RateRefused, PortOpenErrorSource::None, 0);
        return false;
    }
    makeRaw(&tio, speed);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        setSystemFailure(why, PortOpenProblem::RateRefused, errno);
        return false;
    }
    termios actual{};
    if (tcgetattr(fd, &actual) != 0) {
        setSystemFailure(why, PortOpenProblem::SettingsNotKept, errno);
        return false;
    }
    if (!lineSettingsTook(actual, speed)) {
        why->set(PortOpenProblem::SettingsNotKept, PortOpenErrorSource::None, 0);
        return false;
    }
    return true;
}

// Closes the descriptor it holds unless it was released.
class OwnedFd {
  public:
    explicit OwnedFd(int fd) : fd_(fd) {}
    ~OwnedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// Waits for the events on fd until deadline (a tickCount32 value measured from start).
bool waitFor(int fd, short events, std::uint32_t start, std::uint32_t budgetMs) {
    for (;;) {
        const std::uint32_t spent = elapsedMs(start, tickCount32());
        if (spent >= budgetMs && budgetMs != 0) return false;
        pollfd p{fd, events, 0};
        const int rc = poll(&p, 1, static_cast<int>(budgetMs - (spent < budgetMs ? spent : 0)));
        if (rc > 0) return (p.revents & events) != 0;
        if (rc == 0) return false;
        if (errno != EINTR) return false;
    }
}

}  // namespace

bool SerialPort::open(const wchar_t* portName, std::int32_t baudRate, PortOpenFailure* failure) {
    PortOpenFailure unused;
    PortOpenFailure* why = failure != nullptr ? failure : &unused;
    why->baudRate = baudRate;
    char path[PATH_MAX];
    if (!devicePathFromName(portName, path, sizeof path)) {
        why->set(PortOpenProblem::BadName, PortOpenErrorSource::None, 0);
        return false;
    }
    setFailurePort(why, path);

    OwnedFd fd(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        explainOpenError(path, errno, why);
        return false;
    }
    // flock refuses a second open from this process too, and stops root, unlike TIOCEXCL.
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        setSystemFailure(
            why, error == EWOULDBLOCK ? PortOpenProblem::InUse : PortOpenProblem::Other, error);
        return false;
    }
    if (!configureLine(fd.get(), baudRate, why)) return false;
    handle_ = fd.release();
    readAhead_.clear();
    return true;
}

void SerialPort::close() {
    if (handle_ == -1) return;
    ::close(handle_);  // also drops the flock
    handle_ = -1;
    readAhead_.clear();
}

bool SerialPort::isOpen() const {
    return handle_ != -1;
}

void SerialPort::purgeAll() {
    if (handle_ == -1) return;
    tcflush(handle_, TCIOFLUSH);
    readAhead_.clear();
}

void SerialPort::purgeInput() {
    if (handle_ == -1) return;
    tcflush(handle_, TCIFLUSH);
    readAhead_.clear();
}

std::uint32_t SerialPort::readBytes(void* buffer, std::uint32_t count, std::uint32_t timeoutMs) {
    if (handle_ == -1 || buffer == nullptr || count == 0) return 0;
    if (readAhead_.empty()) {
        unsigned char* area = readAhead_.fillArea();
        if (!waitFor(handle_, POLLIN, tickCount32(), timeoutMs)) return 0;
        ssize_t got;
        do {
            got = ::read(handle_, area, ReadAhead::kCapacity);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return 0;
        readAhead_.filled(static_cast<std::size_t>(got));
    }
    return static_cast<std::uint32_t>(readAhead_.take(buffer, count));
}

bool SerialPort::writeAll(const void* bytes, std::size_t length) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    const std::uint32_t start = tickCount32();
    const std::uint32_t budget =
        kWriteTimeoutConstantMs + kWriteTimeoutPerByteMs * static_cast<std::uint32_t>(length);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(handle_, p + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(handle_, POLLOUT, start, budget)) return false;
            continue;
        }
        return false;
    }
    return true;
}

bool SerialPort::writeRaw(const void* bytes, std::size_t length) {
    if (handle_ == -1) return false;
    return writeAll(bytes, length);
}

}  // namespace korvane
