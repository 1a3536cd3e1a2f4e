// SerialPort on a real pseudo-terminal: line settings, timed reads, exact writes, purges.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "korvane/korvane.h"
#include "serial/port_name.h"
#include "serial/serial_port.h"
#include "support/pty_pair.h"
#include "support/scripted_controller.h"

namespace korvane {
namespace {

using std::chrono::milliseconds;
using test::PtyPair;
using test::ScriptedController;

using test::msSince;

// Linux opens a serial port with software flow control and newline translation on, and an
// earlier program may have left hardware flow control on: the library turns off every kind
// of input processing and both kinds of flow control. A pty keeps CRTSCTS as set, so the
// check below sees what the library did, not what the pty ignores.
TEST(SerialPortOpen, AppliesRaw8N1AtTheBaudRateWithoutAnyFlowControl) {
    PtyPair pty(PtyPair::Settings::SerialDefaults);
    int slave = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios before{};
    tcgetattr(slave, &before);
    ASSERT_NE(before.c_iflag & IXON, 0u);
    before.c_iflag |= IXANY | INLCR | ISTRIP;
    before.c_cflag |= PARENB | CSTOPB | CRTSCTS;
    tcsetattr(slave, TCSANOW, &before);
    termios kept{};
    tcgetattr(slave, &kept);
    ASSERT_NE(kept.c_cflag & CRTSCTS, 0u)
        << "the pty must keep CRTSCTS for this test to mean anything";

    SerialPort port;
    ASSERT_TRUE(port.open(pty.slavePathWide().c_str(), 115200));
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(cfgetospeed(&after), B115200);
    EXPECT_EQ(cfgetispeed(&after), B115200);
    EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(after.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(after.c_oflag & OPOST, 0u);
    EXPECT_EQ(after.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(after.c_cflag & CRTSCTS, 0u);
    ::close(slave);
}

// One stray XOFF byte from the controller (boot or line noise) on a port that started with
// Linux's defaults: the stop commands must still reach the controller.
TEST(SerialPortOpen, StrayXoffFromTheControllerHoldsNoWrite) {
    PtyPair pty(PtyPair::Settings::SerialDefaults);
    test::ScriptedController controller(pty);
    controller.answer("<Run>\r\n", "ok\r\n");
    DeviceHandle handle = nullptr;
    ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
    controller.send("\x13");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_EmergencyStop(handle), KORVANE_SUCCESS) << Korvane_GetLastError(handle);
    EXPECT_TRUE(controller.waitForLine("$ES"));
    EXPECT_NE(controller.received().find('!'), std::string::npos);
    Korvane_Disconnect(handle);
}

TEST(SerialPortOpen, FailsCleanlyAndLeavesTheOtherHolderAlone) {
    SerialPort missing;
    EXPECT_FALSE(missing.open(L"/dev/korvane-no-such-port", 115200));
    EXPECT_FALSE(missing.isOpen());
    EXPECT_FALSE(missing.open(L"/dev/null", 115200)) << "not a terminal";
    EXPECT_FALSE(missing.open(nullptr, 115200));
    EXPECT_FALSE(missing.open(L"", 115200));

    PtyPair pty;
    SerialPort first;
    ASSERT_TRUE(first.open(pty.slavePathWide().c_str(), 115200));
    SerialPort second;
    EXPECT_FALSE(second.open(pty.slavePathWide().c_str(), 115200)) << "held exclusively";
    SerialPort oddBaud;
    first.close();
    EXPECT_FALSE(oddBaud.open(pty.slavePathWide().c_str(), 12345)) << "a rate the line refuses";
    EXPECT_TRUE(second.open(pty.slavePathWide().c_str(), 115200)) << "free again after close";
}

TEST(SerialPortOpen, RelativeNamesLiveUnderDevAndLongPathsWork) {
    PtyPair pty;
    const std::string relative = pty.slavePath().substr(5);  // "pts/N"
    SerialPort port;
    ASSERT_TRUE(port.open(std::wstring(relative.begin(), relative.end()).c_str(), 115200));
    port.close();

    // Stable names under /dev/serial/by-id/ are often far longer than 60 characters.
    const std::string link =
        "/tmp/korvane-test-usb-Korvane_Motion_Controller_0123456789ABCDEF-if00-port0-" +
        std::to_string(getpid());
    ASSERT_GT(link.size(), 64u);
    ASSERT_EQ(symlink(pty.slavePath().c_str(), link.c_str()), 0);
    EXPECT_TRUE(port.open(std::wstring(link.begin(), link.end()).c_str(), 115200));
    port.close();
    unlink(link.c_str());
}

TEST(PortNames, ConvertToUtf8AndRejectWhatIsNotUnicode) {
    char path[64];
    ASSERT_TRUE(devicePathFromName(L"ttyUSB0", path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyUSB0");
    ASSERT_TRUE(devicePathFromName(L"/tmp/\u00e9\U0001F600", path, sizeof path));
    EXPECT_STREQ(path, "/tmp/\xc3\xa9\xf0\x9f\x98\x80");
    const wchar_t loneSurrogate[] = {L'a', static_cast<wchar_t>(0xD800), 0};
    EXPECT_FALSE(devicePathFromName(loneSurrogate, path, sizeof path));
    const wchar_t tooLarge[] = {static_cast<wchar_t>(0x110000), 0};
    EXPECT_FALSE(devicePathFromName(tooLarge, path, sizeof path));
    char tiny[8];
    EXPECT_FALSE(devicePathFromName(L"ttyUSB0", tiny, sizeof tiny)) << "would not fit";
}

TEST(PortNames, WindowsDevicePathIsCutAt63Characters) {
    wchar_t path[kWindowsDevicePathChars];
    windowsDevicePath(L"COM12", path);
    EXPECT_EQ(std::wstring(path), L"\\\\.\\COM12");
    const std::wstring name(70, L'N');
    windowsDevicePath(name.c_str(), path);
    EXPECT_EQ(std::wstring(path), L"\\\\.\\" + std::wstring(59, L'N'));
}

TEST(SerialPortIo, WritesExactlyTheLineAndCrLf) {
    PtyPair pty;
    ScriptedController controller(pty);
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slavePathWide().c_str(), 115200));
    EXPECT_TRUE(port.writeLine("$H"));
    EXPECT_TRUE(port.writeLine(""));
    const unsigned char cancel = 0x85;
    EXPECT_TRUE(port.writeRaw(&cancel, 1));
    const std::string tooLong(254, 'x');  // with CR LF it would not fit the line buffer
    EXPECT_FALSE(port.writeLine(tooLong.c_str()));
    EXPECT_TRUE(port.writeLine(std::string(253, 'y').c_str()));
    ASSERT_TRUE(controller.waitForLine(std::string(253, 'y')));
    EXPECT_EQ(controller.received(), "$H\r\n\r\n\x85" + std::string(253, 'y') + "\r\n");
}

TEST(SerialPortIo, ReadWaitsForItsTimeLimitOrReturnsAtOnce) {
    PtyPair pty;
    ScriptedController controller(pty);
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slavePathWide().c_str(), 115200));
    unsigned char byte = 0;
    auto start = test::Clock::now();
    EXPECT_EQ(port.readBytes(&byte, 1, 50), 0u);
    EXPECT_GE(msSince(start), 40);
    EXPECT_LT(msSince(start), 1000);

    controller.send("ab");
    std::this_thread::sleep_for(milliseconds(50));
    // Bytes already waiting end the read at once, far inside a generous limit.
    start = test::Clock::now();
    EXPECT_EQ(port.readBytes(&byte, 1, 2000), 1u);
    EXPECT_EQ(byte, 'a');
    EXPECT_EQ(port.readBytes(&byte, 1, 2000), 1u);
    EXPECT_EQ(byte, 'b');
    EXPECT_LT(msSince(start), 1000);
}

// A read of many bytes hands out what has arrived instead of waiting to fill the count, and a
// wait ends with the first byte rather than at the limit.
TEST(SerialPortIo, ALargeReadReturnsWhatArrivedWithoutWaitingForMore) {
    PtyPair pty;
    ScriptedController controller(pty);
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slavePathWide().c_str(), 115200));
    char bytes[64] = {};
    controller.sendScript(test::replyAfter(200, "late"));
    auto start = test::Clock::now();
    const std::uint32_t got = port.readBytes(bytes, sizeof bytes, 5000);
    ASSERT_GE(got, 1u);
    EXPECT_GE(msSince(start), 100);
    EXPECT_LT(msSince(start), 2500);
    EXPECT_EQ(std::string(bytes, got), std::string("late").substr(0, got));
}

TEST(SerialPortIo, PurgeInputDropsWhatWasReceivedIncludingReadAhead) {
    PtyPair pty;
    ScriptedController controller(pty);
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slavePathWide().c_str(), 115200));
    controller.send("stale bytes");
    std::this_thread::sleep_for(milliseconds(50));
    unsigned char byte = 0;
    ASSERT_EQ(port.readBytes(&byte, 1, 50), 1u);  // the rest now sits in the port's buffer
    port.purgeInput();
    EXPECT_EQ(port.readBytes(&byte, 1, 50), 0u);
    controller.send("z");
    EXPECT_EQ(port.readBytes(&byte, 1, 1000), 1u);
    EXPECT_EQ(byte, 'z');
}

TEST(SerialPortIo, ClosedPortDoesNothing) {
    SerialPort port;
    unsigned char byte = 0;
    EXPECT_EQ(port.readBytes(&byte, 1, 50), 0u);
    EXPECT_FALSE(port.writeRaw(&byte, 1));
    EXPECT_FALSE(port.writeLine("$H"));
    port.purgeAll();
    port.purgeInput();
    port.close();
    port.close();
    EXPECT_FALSE(port.isOpen());
}

TEST(SerialPortIo, UnpluggedAdapterFailsReadsAndWrites) {
    PtyPair pty;
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slavePathWide().c_str(), 115200));
    pty.closeMaster();
    unsigned char byte = 0;
    EXPECT_EQ(port.readBytes(&byte, 1, 50), 0u);
    EXPECT_FALSE(port.writeLine("$H"));
}

TEST(SerialPortIo, AWriteTheDeviceNeverTakesGivesUp) {
    // Nobody reads the master: the pty's buffer fills and then takes nothing more, as a
    // device holding flow control would.
    PtyPair pty;
    SerialPort port;
    ASSERT_TRUE(port.open(pty.slavePathWide().c_str(), 115200));
    const std::string line(200, 'w');
    const auto start = test::Clock::now();
    bool failed = false;
    for (int i = 0; i < 10000 && !failed; ++i) failed = !port.writeLine(line.c_str());
    EXPECT_TRUE(failed);
    EXPECT_LT(msSince(start), 20000);
}

}  // namespace
}  // namespace korvane
