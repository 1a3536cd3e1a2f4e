// Pulling the cable before, during and after every kind of call. A dead port shows up in two
// ways: a write fails at once (result 4, the write-failure message), and reads deliver
// nothing, so a call already waiting for its reply runs into its time limit (result 5, the
// time-out message). Every call must end within its limit, and disconnecting must release
// the port and every descriptor whatever state the connection was left in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "korvane/korvane.h"
#include "support/scripted_controller.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using test::Input;
using test::PtyPair;
using test::Script;
using test::ScriptedController;

// A report that is not Idle, so that a feed hold is written rather than skipped.
constexpr char kRunReport[] = "<Run|MPos:1.000,2.000,3.000|FS:300,0|Lim:0,0,0,0>\r\n";

// Time limits of the calls, and what a call may take beyond its limit: one reading window,
// a scheduler hiccup and a slow sanitizer build fit well inside it.
constexpr long long kQueryLimitMs = 500;
constexpr long long kFollowUpLimitMs = 500;
constexpr long long kEmergencyStopLimitMs = 1000;
constexpr long long kSettingLimitMs = 2000;
constexpr long long kUuidLimitMs = 2000;
constexpr long long kConnectLimitMs = 3000;
constexpr long long kHomingLimitMs = 30000;
constexpr long long kWriteBudgetMs = 1000 + 10 * 64;  // the longest command written here
constexpr long long kMarginMs = 1500;

using test::msSince;

// Descriptors open in this process (the directory listing's own one included every time).
int openDescriptorCount() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

// Descriptors open on the device at path; a pty whose master is gone shows as deleted.
int descriptorsOn(const std::string& path) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        if (!error && (target == path || target == path + " (deleted)")) ++count;
    }
    return count;
}

struct Timed {
    ResultCode result = -1;
    long long ms = 0;
};

Timed timed(const std::function<ResultCode()>& call) {
    const auto start = test::Clock::now();
    const ResultCode result = call();
    return {result, msSince(start)};
}

// A call that never returns would hang the whole run; end it loudly instead.
Timed awaitCall(std::future<Timed>& call, long long limitMs) {
    if (call.wait_for(std::chrono::milliseconds(limitMs + kMarginMs + 10000)) !=
        std::future_status::ready) {
        std::fprintf(stderr, "a call did not return %lld ms past its limit\n", kMarginMs + 10000);
        std::abort();
    }
    return call.get();
}

class CablePull : public ::testing::Test {
  protected:
    void SetUp() override {
        baselineDescriptors = openDescriptorCount();
        pty = std::make_unique<PtyPair>();
        controller = std::make_unique<ScriptedController>(*pty);
        controller->answer(kRunReport, "ok\r\n");
        ASSERT_EQ(Korvane_Connect(pty->slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
        controller->clear();
    }

    // Whatever a test left behind: disconnecting releases the port at once, no descriptor
    // is left over, and the library opens a new port as if nothing had happened.
    void TearDown() override {
        if (handle != nullptr) {
            const Timed closed = timed([&] { return Korvane_Disconnect(handle); });
            EXPECT_EQ(closed.result, KORVANE_SUCCESS);
            EXPECT_LT(closed.ms, kMarginMs);
            handle = nullptr;
            EXPECT_EQ(descriptorsOn(pty->slavePath()), 1) << "only the test's own slave end";
        }
        controller.reset();
        pty.reset();
        EXPECT_EQ(openDescriptorCount(), baselineDescriptors);

        PtyPair fresh;
        ScriptedController freshController(fresh);
        freshController.answerQueries("<Idle>\r\n");
        DeviceHandle again = nullptr;
        EXPECT_EQ(Korvane_Connect(fresh.slavePathWide().c_str(), 115200, &again), KORVANE_SUCCESS);
        if (again != nullptr) Korvane_Disconnect(again);
    }

    // Starts call on a thread of its own, pulls the cable as soon as the controller has seen
    // what seen waits for, and returns the call's result once it has ended.
    Timed pullDuring(const std::function<ResultCode()>& call,
                     const std::function<bool(const std::vector<Input>&)>& seen,
                     long long limitMs) {
        std::future<Timed> running = std::async(std::launch::async, [call] { return timed(call); });
        EXPECT_TRUE(controller->waitFor(seen)) << "the call never reached the controller";
        controller->unplug();
        const Timed done = awaitCall(running, limitMs);
        EXPECT_LE(done.ms, limitMs + kMarginMs);
        return done;
    }

    static std::function<bool(const std::vector<Input>&)> lineSeen(const std::string& line) {
        return [line](const std::vector<Input>& all) {
            for (const Input& in : all) {
                if (in.isLine(line)) return true;
            }
            return false;
        };
    }

    // The n-th input is the byte b (counting from 1).
    static std::function<bool(const std::vector<Input>&)> nthIs(std::size_t n, char b) {
        return
            [n, b](const std::vector<Input>& all) { return all.size() >= n && all[n - 1].is(b); };
    }

    std::string lastError() const { return Korvane_GetLastError(handle); }

    // Velocity mode has ended when the motion commands stop refusing; against a dead port
    // they then fail on their write instead. The worker's failing write may take the whole
    // write budget.
    bool velocityModeEnds() {
        const auto start = test::Clock::now();
        while (msSince(start) < kWriteBudgetMs + kMarginMs + 1000) {
            if (Korvane_JogRel(handle, 1, 1.0f, 100.0f) != KORVANE_VELOCITY_ACTIVE) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    // Velocity mode is over although its stop failed: motion commands are no longer refused.
    // The worker's last line may still be owed its reply (the pull can beat the "ok"), which
    // the next lines wait for in vain: out of step, until the line has been quiet for 2 s and
    // the account starts afresh; from then on a line fails on its own write.
    void expectVelocityModeOverOnADeadPort() {
        ResultCode result = KORVANE_TIMEOUT;
        for (int i = 0; i < 8 && result == KORVANE_TIMEOUT; ++i) {
            result = Korvane_JogRel(handle, 1, 1.0f, 100.0f);
            if (result == KORVANE_TIMEOUT) {
                EXPECT_EQ(lastError(),
                          "Controller out of step: replies to earlier commands never came");
            }
        }
        EXPECT_EQ(result, KORVANE_WRITE_FAILED);
        EXPECT_EQ(lastError(), "Serial write failed for: $J=G91 y1.000 F100");
    }

    // The device stops taking bytes, as when flow control is held: the controller no longer
    // reads, and what the pty can hold towards it is filled up through a second descriptor
    // of our own, so that the library's next write finds no room at all.
    void stallDevice() {
        controller->stop();
        const int filler = ::open(pty->slavePath().c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(filler, 0);
        // The kernel moves queued bytes on to the controller's side in the background, and
        // takes small writes where a large one no longer fits: fill down to single bytes
        // until several rounds in a row find no room.
        const std::string block(1024, 'x');
        for (int quietRounds = 0; quietRounds < 5;) {
            bool wrote = false;
            for (std::size_t size : {std::size_t{1024}, std::size_t{64}, std::size_t{1}}) {
                while (::write(filler, block.data(), size) > 0) wrote = true;
            }
            quietRounds = wrote ? 0 : quietRounds + 1;
            std::this_thread::sleep_for(20ms);
        }
        ::close(filler);
    }

    int baselineDescriptors = 0;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<ScriptedController> controller;
    DeviceHandle handle = nullptr;
};

// --- Before and after: the cable is already out when the call starts ---------------------

struct Call {
    const char* name;
    std::function<ResultCode(DeviceHandle)> run;
    const char* message;  // after the pull
};

std::vector<Call> everyKindOfCall() {
    return {
        {"GetState",
         [](DeviceHandle h) {
             int32_t s = 0;
             return Korvane_GetState(h, &s);
         },
         "Serial write failed"},
        {"GetPosition",
         [](DeviceHandle h) {
             float p[6] = {};
             return Korvane_GetPosition(h, p, nullptr);
         },
         "Serial write failed"},
        {"GetSpeed",
         [](DeviceHandle h) {
             float f = 0;
             return Korvane_GetSpeed(h, &f);
         },
         "Serial write failed"},
        {"GetLimits",
         [](DeviceHandle h) {
             int32_t l[4] = {};
             return Korvane_GetLimits(h, l);
         },
         "Serial write failed"},
        {"GetDeviceUUID",
         [](DeviceHandle h) {
             char b[64] = {};
             return Korvane_GetDeviceUUID(h, b, sizeof b);
         },
         "Serial write failed"},
        {"JogAbs", [](DeviceHandle h) { return Korvane_JogAbs(h, 2, 10.5f, 300.0f); },
         "Serial write failed for: $J=G90 z10.500 F300"},
        {"JogRel", [](DeviceHandle h) { return Korvane_JogRel(h, 0, 5.0f, 300.0f); },
         "Serial write failed for: $J=G91 x5.000 F300"},
        {"SetPos", [](DeviceHandle h) { return Korvane_SetPos(h, 3, 0.0f); },
         "Serial write failed for: $MPos=a0.000"},
        {"SetAcceleration", [](DeviceHandle h) { return Korvane_SetAcceleration(h, 1, 250.0f); },
         "Serial write failed for: $axes/y/acceleration_mm_per_sec2=250.000"},
        {"EnableSoftLimits", [](DeviceHandle h) { return Korvane_EnableSoftLimits(h, 5, 1); },
         "Serial write failed for: $axes/c/soft_limits=true"},
        {"SetSoftLimitRange",
         [](DeviceHandle h) { return Korvane_SetSoftLimitRange(h, 2, 300.0f, -300.0f); },
         "Serial write failed for: $axes/z/max_travel_mm=300.000"},
        {"FeedHold", [](DeviceHandle h) { return Korvane_FeedHold(h); }, "Serial write failed"},
        {"Resume", [](DeviceHandle h) { return Korvane_Resume(h); }, "Serial write failed"},
        // Its stop bytes go out before "$ES", and their write is the one that fails.
        {"EmergencyStop", [](DeviceHandle h) { return Korvane_EmergencyStop(h); },
         "Serial write failed"},
        {"Home", [](DeviceHandle h) { return Korvane_Home(h, -1); }, "Serial write failed for: $H"},
    };
}

TEST_F(CablePull, AfterWorkingCallsEveryWriteFailsAtOnce) {
    // Every call works while the cable is in (homing sees Home, then Run) ...
    controller->respond([](const Input& in) -> Script {
        if (in.isLine("$H")) return test::reply("ok\r\n<Home>\r\n");
        if (in.isLine("$device_uuid")) return test::reply("device_uuid=abc\r\nok\r\n");
        if (in.is('?')) return test::reply(kRunReport);
        if (!in.realtime) return test::reply("ok\r\n");
        return {};
    });
    for (const Call& call : everyKindOfCall()) {
        EXPECT_EQ(call.run(handle), KORVANE_SUCCESS) << call.name << " with the cable in";
    }

    // ... and fails on its write once it is out: 4, within the write budget at most.
    controller->unplug();
    for (const Call& call : everyKindOfCall()) {
        const Timed done = timed([&] { return call.run(handle); });
        EXPECT_EQ(done.result, KORVANE_WRITE_FAILED) << call.name;
        EXPECT_EQ(lastError(), call.message) << call.name;
        EXPECT_LE(done.ms, kWriteBudgetMs + kMarginMs) << call.name;
    }
}

TEST_F(CablePull, BeforeVelocityStartTheWorkerEndsOnItsFirstLine) {
    controller->unplug();
    // The start itself writes nothing, so it succeeds; the worker's first line fails and the
    // mode ends by itself, silently.
    EXPECT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    EXPECT_TRUE(velocityModeEnds());
    EXPECT_EQ(Korvane_JogRel(handle, 1, 1.0f, 100.0f), KORVANE_WRITE_FAILED);
    // No jog line ever left, so no jog can run and the stop has nothing to cancel: it neither
    // fails on a cancel nor replaces the message of the last failure.
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    EXPECT_EQ(lastError(), "Serial write failed for: $J=G91 y1.000 F100");
}

// --- During: the call has written its command and waits for the reply --------------------

TEST_F(CablePull, DuringAStatusQueryTheCallTimesOut) {
    controller->answerQueries("");
    float positions[6] = {9, 9, 9, 9, 9, 9};
    int32_t count = 42;
    const Timed done = pullDuring([&] { return Korvane_GetPosition(handle, positions, &count); },
                                  nthIs(1, '?'), kQueryLimitMs);
    EXPECT_EQ(done.result, KORVANE_TIMEOUT);  // reads deliver nothing: silence, not a failure
    EXPECT_EQ(lastError(), "Timeout waiting for response");
    EXPECT_EQ(count, 42) << "out-parameters untouched";
    EXPECT_EQ(positions[0], 9.0f);
}

TEST_F(CablePull, DuringAJogLineTheCallTimesOut) {
    controller->answerLines("");
    const Timed done = pullDuring([&] { return Korvane_JogRel(handle, 0, 5.0f, 300.0f); },
                                  lineSeen("$J=G91 x5.000 F300"), kQueryLimitMs);
    EXPECT_EQ(done.result, KORVANE_TIMEOUT);
    EXPECT_EQ(lastError(), "Timeout waiting for response");
}

TEST_F(CablePull, DuringTheFollowUpQueryAfterOkTheCallTimesOut) {
    controller->answer("", "ok\r\n");
    const Timed done = pullDuring([&] { return Korvane_JogAbs(handle, 0, 5.0f, 300.0f); },
                                  nthIs(2, '?'), kQueryLimitMs + kFollowUpLimitMs);
    EXPECT_EQ(done.result, KORVANE_TIMEOUT);
    EXPECT_EQ(lastError(), "Timeout waiting for response");
}

TEST_F(CablePull, DuringEitherSettingLineTheRangeCallTimesOut) {
    controller->answerLines("");
    Timed done = pullDuring([&] { return Korvane_SetSoftLimitRange(handle, 0, 100.0f, -5.0f); },
                            lineSeen("$axes/x/max_travel_mm=100.000"), kSettingLimitMs);
    EXPECT_EQ(done.result, KORVANE_TIMEOUT);
    EXPECT_EQ(controller->lines(), std::vector<std::string>{"$axes/x/max_travel_mm=100.000"})
        << "the second line is not sent after the first failed";
    ASSERT_EQ(Korvane_Disconnect(handle), KORVANE_SUCCESS);
    handle = nullptr;

    // A new cable; this time the first line is answered and the second one is hung.
    controller.reset();
    pty = std::make_unique<PtyPair>();
    controller = std::make_unique<ScriptedController>(*pty);
    controller->answerQueries(kRunReport);
    ASSERT_EQ(Korvane_Connect(pty->slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
    controller->respond([](const Input& in) -> Script {
        if (in.isLine("$axes/x/max_travel_mm=100.000")) return test::reply("ok\r\n");
        if (in.is('?')) return test::reply(kRunReport);
        return {};
    });
    done = pullDuring([&] { return Korvane_SetSoftLimitRange(handle, 0, 100.0f, -5.0f); },
                      lineSeen("$axes/x/homing/mpos_mm=-5.000"),
                      2 * (kSettingLimitMs + kFollowUpLimitMs));
    EXPECT_EQ(done.result, KORVANE_TIMEOUT);
    EXPECT_EQ(lastError(), "Timeout waiting for response");
}

TEST_F(CablePull, DuringTheUuidQueryTheCallTimesOut) {
    char buffer[16];
    std::memset(buffer, 'u', sizeof buffer);
    const Timed done =
        pullDuring([&] { return Korvane_GetDeviceUUID(handle, buffer, sizeof buffer); },
                   lineSeen("$device_uuid"), kUuidLimitMs);
    EXPECT_EQ(done.result, KORVANE_TIMEOUT);
    EXPECT_EQ(lastError(), "Timeout waiting for UUID");
    EXPECT_EQ(std::string(buffer, sizeof buffer), std::string(sizeof buffer, 'u'));
}

// The stop bytes were written and a report confirmed the rest before "$ES": whatever becomes
// of that line, the machine stands and the stop has succeeded.
TEST_F(CablePull, DuringTheEsLineAConfirmedEmergencyStopStillSucceeds) {
    controller->answerLines("");
    const Timed done = pullDuring([&] { return Korvane_EmergencyStop(handle); }, lineSeen("$ES"),
                                  kEmergencyStopLimitMs);
    EXPECT_EQ(done.result, KORVANE_SUCCESS);
}

// Before the rest is confirmed, a dead port is a failure: the poll for the report cannot be
// written, and the stop must not claim a machine at rest.
TEST_F(CablePull, BeforeTheRestIsConfirmedAnEmergencyStopFails) {
    controller->answerQueries("");
    const Timed done = pullDuring([&] { return Korvane_EmergencyStop(handle); }, nthIs(1, '!'),
                                  kEmergencyStopLimitMs);
    // The poll fails to be written, or goes out just before the pull and is never answered.
    EXPECT_TRUE(done.result == KORVANE_WRITE_FAILED || done.result == KORVANE_TIMEOUT)
        << done.result;
    EXPECT_NE(lastError(), "");
    EXPECT_TRUE(controller->lines().empty()) << "no $ES without a confirmed stop";
}

// A call that holds the port while it waits for its reply does not hold back a stop: the
// feed hold and the resume reach the wire while the UUID query still waits.
TEST_F(CablePull, StopBytesGoOutWhileAHungCallHoldsThePort) {
    controller->answerLines("");
    char buffer[64] = {};
    std::future<Timed> uuid = std::async(std::launch::async, [&] {
        return timed([&] { return Korvane_GetDeviceUUID(handle, buffer, sizeof buffer); });
    });
    ASSERT_TRUE(controller->waitForLine("$device_uuid"));
    EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
    EXPECT_TRUE(controller->waitForRealtime('!', 500ms));
    EXPECT_TRUE(controller->waitForRealtime('~', 500ms));
    EXPECT_EQ(uuid.wait_for(0s), std::future_status::timeout)
        << "the stop bytes were written only once the UUID query had ended";
    controller->unplug();
    EXPECT_EQ(awaitCall(uuid, kUuidLimitMs).result, KORVANE_TIMEOUT);
    // Once the port is dead the stop bytes fail at once.
    EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_WRITE_FAILED);
    EXPECT_EQ(lastError(), "Serial write failed");
}

// The one slow test of this file: a cable pulled mid-cycle leaves homing nothing to see but
// silence, so it ends only at its limit of about thirty seconds.
TEST_F(CablePull, DuringHomingTheCallEndsAtItsLimit) {
    controller->respond([](const Input& in) -> Script {
        if (in.isLine("$Hz")) return test::reply("ok\r\n");
        if (in.is('?')) return test::reply("<Home|MPos:0,0,0>\r\n");
        return {};
    });
    const Timed done =
        pullDuring([&] { return Korvane_Home(handle, 2); }, nthIs(3, '?'), kHomingLimitMs);
    EXPECT_EQ(done.result, KORVANE_TIMEOUT);
    EXPECT_GE(done.ms, kHomingLimitMs - 1000) << "silence is not an end of the cycle";
    EXPECT_EQ(lastError(), "Homing timeout");
}

// --- Velocity mode ------------------------------------------------------------------------

TEST_F(CablePull, RunningWorkerEndsWhenItsNextLineFails) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller->waitForLine("$J=G91 x200.000 F600"));
    controller->unplug();
    // A new rate makes the worker write again; that write fails and ends the mode.
    EXPECT_EQ(Korvane_VelocityStart(handle, 0, -600.0f), KORVANE_SUCCESS);
    EXPECT_TRUE(velocityModeEnds());
    // The next line fails on its own write, or, when the pull came before the reply to the
    // worker's jog line, earlier: that reply is still owed, so the line is out of step.
    const ResultCode jog = Korvane_JogRel(handle, 1, 1.0f, 100.0f);
    if (jog == KORVANE_TIMEOUT) {
        EXPECT_EQ(lastError(), "Controller out of step: replies to earlier commands never came");
    } else {
        EXPECT_EQ(jog, KORVANE_WRITE_FAILED);
    }
    const ResultCode stopped = Korvane_VelocityStop(handle);
    EXPECT_TRUE(stopped == KORVANE_SUCCESS || stopped == KORVANE_WRITE_FAILED) << stopped;
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS) << "nothing left to stop";
}

TEST_F(CablePull, StoppingARunningWorkerAfterThePullReportsTheJogCancel) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 1, 300.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller->waitForLine("$J=G91 y100.000 F300"));
    controller->unplug();
    const Timed done = timed([&] { return Korvane_VelocityStop(handle); });
    EXPECT_EQ(done.result, KORVANE_WRITE_FAILED);
    EXPECT_EQ(lastError(), "Serial write failed for jog cancel");
    EXPECT_LE(done.ms, kWriteBudgetMs + kMarginMs);
    expectVelocityModeOverOnADeadPort();
}

TEST_F(CablePull, EmergencyStopInVelocityModeAfterThePullStopsAtTheJogCancel) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 2, -45.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller->waitForLine("$J=G91 z-15.000 F45"));
    controller->unplug();
    const Timed done = timed([&] { return Korvane_EmergencyStop(handle); });
    EXPECT_EQ(done.result, KORVANE_WRITE_FAILED);
    EXPECT_EQ(lastError(), "Serial write failed for jog cancel") << "$ES was not attempted";
    EXPECT_LE(done.ms, kWriteBudgetMs + kMarginMs);
    expectVelocityModeOverOnADeadPort();
}

TEST_F(CablePull, DisconnectInVelocityModeAfterThePullReleasesEverything) {
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 1500.5f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller->waitForLine("$J=G91 x500.167 F1500"));
    controller->unplug();
    // TearDown disconnects: promptly, with 0, every descriptor released.
}

// --- A cable that takes nothing: the device is there but never reads ----------------------

TEST_F(CablePull, StalledDeviceMakesWritesGiveUp) {
    stallDevice();

    const Timed hold = timed([&] { return Korvane_FeedHold(handle); });
    EXPECT_EQ(hold.result, KORVANE_WRITE_FAILED);
    EXPECT_EQ(lastError(), "Serial write failed");
    EXPECT_LE(hold.ms, kWriteBudgetMs + kMarginMs);

    const Timed jog = timed([&] { return Korvane_JogRel(handle, 0, 5.0f, 300.0f); });
    EXPECT_EQ(jog.result, KORVANE_WRITE_FAILED);
    EXPECT_EQ(lastError(), "Serial write failed for: $J=G91 x5.000 F300");
    EXPECT_LE(jog.ms, kWriteBudgetMs + kMarginMs);

    // The worker's line cannot be written either, so velocity mode ends by itself; with no
    // jog line on the wire the stop has no cancel to write and returns at once.
    EXPECT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    EXPECT_TRUE(velocityModeEnds());
    const Timed stop = timed([&] { return Korvane_VelocityStop(handle); });
    EXPECT_EQ(stop.result, KORVANE_SUCCESS);
    EXPECT_LE(stop.ms, kWriteBudgetMs + kMarginMs);
}

TEST_F(CablePull, DisconnectWhileTheWorkerIsStuckInAWriteEndsWithinTwoWriteBudgets) {
    controller->answerQueries("");
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller->waitForLine("$J=G91 x200.000 F600"));
    stallDevice();
    // A new rate: the worker's next line waits for room that never comes, holding the port.
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 300.0f), KORVANE_SUCCESS);
    std::this_thread::sleep_for(300ms);
    // The jog cancel waits for that line to give up, then gives up itself; the result of
    // the disconnect is 0 all the same.
    const Timed closed = timed([&] { return Korvane_Disconnect(handle); });
    handle = nullptr;
    EXPECT_EQ(closed.result, KORVANE_SUCCESS);
    EXPECT_LE(closed.ms, 2 * kWriteBudgetMs + kMarginMs);
    EXPECT_EQ(descriptorsOn(pty->slavePath()), 1) << "only the test's own slave end";
}

// --- Connections --------------------------------------------------------------------------

TEST(CablePullAtConnect, BeforeTheProbeThePortIsGone) {
    const int before = openDescriptorCount();
    {
        PtyPair pty;
        ScriptedController controller(pty);
        controller.unplug();
        DeviceHandle handle = nullptr;
        const Timed done =
            timed([&] { return Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle); });
        EXPECT_EQ(done.result, KORVANE_PORT_OPEN_FAILED);
        EXPECT_EQ(handle, nullptr);
        EXPECT_LE(done.ms, kMarginMs);
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(CablePullAtConnect, DuringTheProbeTheConnectTimesOutAndLeavesNothingOpen) {
    const int before = openDescriptorCount();
    {
        PtyPair pty;
        ScriptedController controller(pty);
        DeviceHandle handle = nullptr;
        std::future<Timed> connecting = std::async(std::launch::async, [&] {
            return timed(
                [&] { return Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle); });
        });
        ASSERT_TRUE(controller.waitForRealtime('?'));
        controller.unplug();
        const Timed done = awaitCall(connecting, kConnectLimitMs);
        EXPECT_EQ(done.result, KORVANE_TIMEOUT);
        EXPECT_EQ(handle, nullptr);
        EXPECT_LE(done.ms, kConnectLimitMs + kMarginMs);
        EXPECT_EQ(descriptorsOn(pty.slavePath()), 1) << "only the test's own slave end";
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

TEST(Descriptors, NoneLeakAcrossAThousandConnections) {
    PtyPair pty;
    ScriptedController controller(pty);
    controller.answer("<Idle>\r\n", "ok\r\n");
    const int before = openDescriptorCount();
    for (int i = 0; i < 1000; ++i) {
        DeviceHandle handle = nullptr;
        ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS)
            << "cycle " << i;
        ASSERT_EQ(Korvane_Disconnect(handle), KORVANE_SUCCESS);
    }
    EXPECT_EQ(openDescriptorCount(), before);
    EXPECT_EQ(controller.countInputs([](const Input& in) { return in.is('?'); }), 1000u)
        << "one probe per connection";

    // Failed connections release what they opened too: an error to the probe, a port that
    // is not a terminal, a port that does not exist.
    controller.answerQueries("error:1\r\n");
    for (int i = 0; i < 100; ++i) {
        DeviceHandle handle = nullptr;
        ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_TIMEOUT);
        ASSERT_EQ(Korvane_Connect(L"/dev/null", 115200, &handle), KORVANE_PORT_OPEN_FAILED);
        ASSERT_EQ(Korvane_Connect(L"/dev/korvane-missing", 115200, &handle),
                  KORVANE_PORT_OPEN_FAILED);
    }
    EXPECT_EQ(openDescriptorCount(), before);
}

}  // namespace
}  // namespace korvane
