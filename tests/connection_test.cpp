// Opening and closing connections through the C API, and the last-error text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "korvane/korvane.h"
#include "support/scripted_controller.h"

namespace korvane {
namespace {

using std::chrono::milliseconds;
using test::PtyPair;
using test::ScriptedController;

const DeviceHandle kUntouched = reinterpret_cast<DeviceHandle>(0x1234);

using test::msSince;

TEST(Connect, RefusesNullArgumentsWithoutWriting) {
    DeviceHandle handle = kUntouched;
    EXPECT_EQ(Korvane_Connect(nullptr, 115200, &handle), KORVANE_INVALID_ARGUMENT);
    EXPECT_EQ(handle, kUntouched);
    EXPECT_STREQ(Korvane_GetLastError(nullptr),
                 "Invalid portName: null (accepted: a non-null pointer)");
    EXPECT_EQ(Korvane_Connect(L"ttyS0", 115200, nullptr), KORVANE_INVALID_ARGUMENT);
    EXPECT_STREQ(Korvane_GetLastError(nullptr),
                 "Invalid outHandle: null (accepted: a non-null pointer)");
}

TEST(Connect, PortsThatCannotBeOpenedGive3) {
    DeviceHandle handle = kUntouched;
    EXPECT_EQ(Korvane_Connect(L"/dev/korvane-missing", 115200, &handle), KORVANE_PORT_OPEN_FAILED);
    EXPECT_EQ(Korvane_Connect(L"/dev/null", 115200, &handle), KORVANE_PORT_OPEN_FAILED);
    const wchar_t notUnicode[] = {L'/', static_cast<wchar_t>(0xDFFF), 0};
    EXPECT_EQ(Korvane_Connect(notUnicode, 115200, &handle), KORVANE_PORT_OPEN_FAILED);
    EXPECT_EQ(handle, kUntouched);
}

TEST(Connect, SucceedsWhenTheProbeIsAnswered) {
    PtyPair pty;
    ScriptedController controller(pty);
    controller.answer("<Idle|MPos:0,0,0>\r\n", "ok\r\n");
    DeviceHandle handle = nullptr;
    ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
    ASSERT_NE(handle, nullptr);
    EXPECT_STREQ(Korvane_GetLastError(handle), "");
    // One probe byte, then the empty line whose replies tell how the controller counts line
    // ends; nothing that could move the machine or change a setting.
    EXPECT_EQ(controller.received(), "?\r\n");
    EXPECT_EQ(Korvane_Disconnect(handle), KORVANE_SUCCESS);
}

TEST(Connect, ProbeIgnoresStaleInputAndWaitsForAReport) {
    PtyPair pty;
    ScriptedController controller(pty);
    controller.send("<Alarm>\r\ngarbage");
    std::this_thread::sleep_for(milliseconds(50));
    controller.respond([](const test::Input& in) -> test::Script {
        if (in.is('?')) return {{0, "ok\r\n"}, {400, "<Hold:1>\r\n"}};
        return {};
    });
    DeviceHandle handle = nullptr;
    ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
    int32_t state = 0;
    controller.answerQueries("<Idle>\r\n");
    controller.respond(nullptr);
    EXPECT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
    Korvane_Disconnect(handle);
}

TEST(Connect, SilentPortTimesOutAndIsReleased) {
    PtyPair pty;
    ScriptedController controller(pty);
    DeviceHandle handle = kUntouched;
    const auto start = test::Clock::now();
    EXPECT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_TIMEOUT);
    EXPECT_GE(msSince(start), 2900);
    EXPECT_LT(msSince(start), 6000);
    EXPECT_EQ(handle, kUntouched);
    const std::string message = Korvane_GetLastError(nullptr);
    EXPECT_EQ(message.rfind("Timeout waiting for a controller: ", 0), 0u) << message;

    controller.answerQueries("<Idle>\r\n");
    ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS)
        << "the failed attempt closed the port";
    Korvane_Disconnect(handle);
}

TEST(Connect, ErrorToTheProbeIsATimeOutResult) {
    PtyPair pty;
    ScriptedController controller(pty);
    controller.answerQueries("error:8\r\n");
    DeviceHandle handle = kUntouched;
    EXPECT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_TIMEOUT);
    EXPECT_EQ(handle, kUntouched);
}

TEST(Connect, BusyPortGives3) {
    PtyPair pty;
    ScriptedController controller(pty);
    controller.answerQueries("<Idle>\r\n");
    DeviceHandle first = nullptr;
    ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &first), KORVANE_SUCCESS);
    DeviceHandle second = kUntouched;
    EXPECT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &second),
              KORVANE_PORT_OPEN_FAILED);
    EXPECT_EQ(second, kUntouched);
    Korvane_Disconnect(first);
    ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &second), KORVANE_SUCCESS);
    Korvane_Disconnect(second);
}

TEST(Connect, NoDescriptorLeaksAcrossCycles) {
    PtyPair pty;
    ScriptedController controller(pty);
    controller.answerQueries("<Idle>\r\n");
    auto openDescriptors = [] {
        int n = 0;
        for (int fd = 0; fd < 4096; ++fd) n += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
        return n;
    };
    const int before = openDescriptors();
    for (int i = 0; i < 50; ++i) {
        DeviceHandle handle = nullptr;
        ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
        Korvane_Disconnect(handle);
        DeviceHandle failed = nullptr;
        ASSERT_EQ(Korvane_Connect(L"/dev/null", 115200, &failed), KORVANE_PORT_OPEN_FAILED);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(Handles, NullHandleEverywhere) {
    EXPECT_EQ(Korvane_Disconnect(nullptr), KORVANE_INVALID_HANDLE);
    // On a thread that never connected: a failed connect leaves its message for a null
    // handle on the thread that made it.
    std::string text;
    std::thread([&] { text = Korvane_GetLastError(nullptr); }).join();
    EXPECT_EQ(text, "Invalid handle");
}

// The version the library reports is the one its headers carry, and the text agrees with
// the numeric macros a host compiles against.
TEST(Version, MatchesTheHeader) {
    EXPECT_STREQ(Korvane_GetVersion(), KORVANE_VERSION_STRING);
    const std::string numbers = std::to_string(KORVANE_VERSION_MAJOR) + "." +
                                std::to_string(KORVANE_VERSION_MINOR) + "." +
                                std::to_string(KORVANE_VERSION_PATCH);
    EXPECT_EQ(numbers, KORVANE_VERSION_STRING);
}

class LastError : public ::testing::Test {
  protected:
    void SetUp() override {
        controller.answerQueries("<Idle>\r\n");
        ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
    }
    void TearDown() override { Korvane_Disconnect(handle); }

    PtyPair pty;
    ScriptedController controller{pty};
    DeviceHandle handle = nullptr;
};

TEST_F(LastError, EachThreadGetsItsOwnBufferWithTheSameText) {
    controller.answerQueries("error:3\r\n");
    int32_t state = 0;
    ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_FIRMWARE_ERROR);
    const char* mine = Korvane_GetLastError(handle);
    const char* theirs = nullptr;
    std::string theirText;
    std::thread other([&] {
        theirs = Korvane_GetLastError(handle);
        theirText = theirs;
    });
    other.join();
    EXPECT_NE(mine, theirs);
    EXPECT_STREQ(mine,
                 "Firmware error: error:3 (the $ command is not recognised or not supported)");
    EXPECT_EQ(theirText, mine);
}

TEST_F(LastError, LongMessagesAreCutAt255Characters) {
    controller.answerQueries("error:" + std::string(400, '7') + "\r\n");
    int32_t state = 0;
    ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_FIRMWARE_ERROR);
    const std::string text = Korvane_GetLastError(handle);
    EXPECT_EQ(text.size(), 255u);
    EXPECT_EQ(text, ("Firmware error: error:" + std::string(400, '7')).substr(0, 255));
}

TEST_F(LastError, SuccessKeepsTheMessageAndMessagesNeverActAsFormats) {
    controller.answerQueries("error:%s%n%x\r\n");
    int32_t state = 0;
    ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_FIRMWARE_ERROR);
    controller.answerQueries("<Idle>\r\n");
    ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
    EXPECT_STREQ(Korvane_GetLastError(handle), "Firmware error: error:%s%n%x");
}

TEST_F(LastError, ReadAndWrittenFromManyThreads) {
    // Failing calls write the text while other threads read it; the text read is always
    // one whole message, never a mix.
    controller.answerQueries("error:1\r\n");
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const std::string t = Korvane_GetLastError(handle);
            if (!t.empty() &&
                t != "Firmware error: error:1 (a word of the line has no command letter)" &&
                t != "Serial write failed")
                ++torn;
        }
    });
    int32_t state = 0;
    for (int i = 0; i < 20; ++i) Korvane_GetState(handle, &state);
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace korvane
