// Why Korvane_Connect could not open a port, as the message of Korvane_GetLastError(NULL)
// tells it: over real paths, a real pseudo-terminal held by another connection or program,
// and files the user may not open. The code at the message's end is what programs parse.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "korvane/korvane.h"
#include "serial/port_open_failure.h"
#include "support/scripted_controller.h"

namespace korvane {
namespace {

using test::PtyPair;
using test::ScriptedController;

std::wstring wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

struct Attempt {
    ResultCode result = -1;
    std::string message;
};

Attempt connectTo(const std::wstring& port, std::int32_t baud = 115200) {
    DeviceHandle handle = nullptr;
    Attempt attempt;
    attempt.result = Korvane_Connect(port.c_str(), baud, &handle);
    attempt.message = Korvane_GetLastError(nullptr);
    if (attempt.result == KORVANE_SUCCESS) Korvane_Disconnect(handle);
    return attempt;
}

// The message as the header documents it.
std::string expected(const std::string& port, const std::string& why, int error) {
    return "Port open failed: " + port + ": " + why + " (errno " + std::to_string(error) + ")";
}

// Connects to path as the unprivileged user nobody, in a child process, when this one runs as
// root (whom no permission stops); as this process otherwise.
Attempt connectUnprivileged(const std::string& path) {
    if (geteuid() != 0) return connectTo(wide(path));
    int channel[2];
    if (pipe(channel) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        const gid_t nobody = 65534;
        if (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0) _exit(2);
        const Attempt attempt = connectTo(wide(path));
        const std::string out = std::to_string(attempt.result) + "\n" + attempt.message;
        const bool written =
            write(channel[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
        _exit(written ? 0 : 3);
    }
    close(channel[1]);
    std::string out;
    char buffer[512];
    ssize_t n;
    while ((n = read(channel[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    Attempt attempt;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return attempt;
    const std::size_t newline = out.find('\n');
    attempt.result = std::atoi(out.substr(0, newline).c_str());
    attempt.message = out.substr(newline + 1);
    return attempt;
}

// A folder that user nobody may enter, removed with what it holds.
class OpenFolder {
  public:
    OpenFolder() {
        char name[] = "/tmp/korvane-open-XXXXXX";
        path_ = mkdtemp(name) != nullptr ? name : "";
        if (!path_.empty()) chmod(path_.c_str(), 0755);
    }
    ~OpenFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;

    // A file there with the mode and group given (-1: this process's group).
    std::string file(const std::string& name, mode_t mode, gid_t group = static_cast<gid_t>(-1)) {
        const std::string path = path_ + "/" + name;
        std::FILE* f = std::fopen(path.c_str(), "w");
        if (f != nullptr) std::fclose(f);
        if (group != static_cast<gid_t>(-1) && chown(path.c_str(), 0, group) != 0) return "";
        chmod(path.c_str(), mode);
        return path;
    }

  private:
    std::string path_;
};

TEST(PortOpenError, SaysWhichPortAndWhatWentWrong) {
    const Attempt missing = connectTo(L"/dev/korvane-no-such-port");
    EXPECT_EQ(missing.result, KORVANE_PORT_OPEN_FAILED);
    EXPECT_EQ(missing.message, expected("/dev/korvane-no-such-port", "no such port", ENOENT));

    // A name that is not a path is looked for under /dev, and the message says so.
    EXPECT_EQ(connectTo(L"korvane-no-such-port").message,
              expected("/dev/korvane-no-such-port", "no such port", ENOENT));

    const Attempt null = connectTo(L"/dev/null");
    EXPECT_EQ(null.result, KORVANE_PORT_OPEN_FAILED);
    EXPECT_EQ(null.message, expected("/dev/null", "not a serial device", ENOTTY));

    const Attempt empty = connectTo(L"");
    EXPECT_EQ(empty.result, KORVANE_PORT_OPEN_FAILED);
    EXPECT_EQ(empty.message,
              "Port open failed: the port name is empty, not valid Unicode, or too long");
    const wchar_t surrogate[] = {L'C', static_cast<wchar_t>(0xD800), L'\0'};
    EXPECT_EQ(connectTo(surrogate).message, empty.message);
}

TEST(PortOpenError, APortInUseOrAtARateTheSystemLacks) {
    PtyPair pty;
    ScriptedController controller(pty);
    controller.answerQueries("<Idle>\r\n");
    DeviceHandle first = nullptr;
    ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &first), KORVANE_SUCCESS);
    const Attempt second = connectTo(pty.slavePathWide());
    Korvane_Disconnect(first);
    EXPECT_EQ(second.result, KORVANE_PORT_OPEN_FAILED);
    EXPECT_EQ(
        second.message,
        expected(pty.slavePath(), "in use: another program or connection holds it", EWOULDBLOCK));

    // No system call failed: the rate is not one Linux offers, so there is no code to give.
    const Attempt odd = connectTo(pty.slavePathWide(), 12345);
    EXPECT_EQ(odd.result, KORVANE_PORT_OPEN_FAILED);
    EXPECT_EQ(odd.message, "Port open failed: " + pty.slavePath() + ": 12345 baud refused");
}

// Another program that holds a terminal exclusively (TIOCEXCL) makes opens fail with EBUSY
// for everyone but the administrator.
TEST(PortOpenError, ATerminalHeldExclusivelyByAnotherProgramIsInUse) {
    PtyPair pty;
    const int holder = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(ioctl(holder, TIOCEXCL), 0);
    if (geteuid() == 0) chmod(pty.slavePath().c_str(), 0666);  // let nobody past permissions
    const Attempt attempt = connectUnprivileged(pty.slavePath());
    close(holder);
    EXPECT_EQ(attempt.result, KORVANE_PORT_OPEN_FAILED) << attempt.message;
    EXPECT_EQ(attempt.message,
              expected(pty.slavePath(), "in use: another program or connection holds it", EBUSY));
}

TEST(PortOpenError, PermissionDeniedNamesTheGroupToJoin) {
    OpenFolder folder;
    const std::string closedPath = folder.file("closed", 0600);
    const Attempt closed = connectUnprivileged(closedPath);
    EXPECT_EQ(closed.result, KORVANE_PORT_OPEN_FAILED) << closed.message;
    EXPECT_EQ(
        closed.message,
        expected(closedPath, "permission denied; ask for read and write access to it", EACCES));

    if (geteuid() != 0) GTEST_SKIP() << "giving a file to another group needs root";
    const group* dialout = getgrnam("dialout");
    if (dialout == nullptr) GTEST_SKIP() << "this system has no group dialout";
    const std::string device = folder.file("ttyUSB0", 0660, dialout->gr_gid);
    ASSERT_FALSE(device.empty());
    const Attempt denied = connectUnprivileged(device);
    EXPECT_EQ(denied.result, KORVANE_PORT_OPEN_FAILED) << denied.message;
    EXPECT_EQ(
        denied.message,
        expected(device, "permission denied; join the group 'dialout' and log in again", EACCES));
}

// However long the path, the message fits the 255 characters of a last-error text with its
// end, the code included: the path gives way, from its start.
TEST(PortOpenError, ALongPathGivesWayToTheCode) {
    std::string path = "/dev";
    while (path.size() < 600) path += "/korvane-missing-folder";
    path += "/ttyACM0";
    const Attempt attempt = connectTo(wide(path));
    EXPECT_EQ(attempt.result, KORVANE_PORT_OPEN_FAILED);
    EXPECT_LE(attempt.message.size(), 255u);
    EXPECT_EQ(attempt.message.rfind("Port open failed: ...", 0), 0u) << attempt.message;
    const std::string end =
        "/korvane-missing-folder/ttyACM0: no such port (errno " + std::to_string(ENOENT) + ")";
    EXPECT_EQ(attempt.message.substr(attempt.message.size() - end.size()), end);

    // A name cut inside a character would hand the host text that is not UTF-8.
    std::string name(200, 'x');
    for (int i = 0; i < 61; ++i) name += "\xC3\xA9";
    name += "y";
    PortOpenFailure failure;
    setFailurePort(&failure, name.c_str());
    failure.set(PortOpenProblem::NoSuchPort, PortOpenErrorSource::Windows, 2);
    char message[kPortOpenMessageSize];
    describePortOpenFailure(failure, message);
    const std::string text = message;
    const std::string start = "Port open failed: ...";
    ASSERT_EQ(text.rfind(start, 0), 0u) << text;
    EXPECT_EQ(static_cast<unsigned char>(text[start.size()]), 0xC3u) << text;
    const std::string tail = "\xC3\xA9y: no such port (Windows error 2)";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
}

TEST(PortOpenError, NullHandleMessageIsTheConnectingThreadsUntilItsNextConnect) {
    const Attempt missing = connectTo(L"/dev/korvane-no-such-port");
    ASSERT_EQ(missing.result, KORVANE_PORT_OPEN_FAILED);
    EXPECT_EQ(Korvane_GetLastError(nullptr), missing.message) << "reading does not consume it";
    std::string elsewhere;
    std::thread([&] { elsewhere = Korvane_GetLastError(nullptr); }).join();
    EXPECT_EQ(elsewhere, "Invalid handle");

    PtyPair pty;
    ScriptedController controller(pty);
    controller.answerQueries("<Idle>\r\n");
    EXPECT_EQ(connectTo(pty.slavePathWide()).result, KORVANE_SUCCESS);
    EXPECT_STREQ(Korvane_GetLastError(nullptr), "Invalid handle");
}

}  // namespace
}  // namespace korvane
