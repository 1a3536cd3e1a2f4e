// A controller that misbehaves in every way a serial line allows: binary noise, NUL bytes,
// endless and over-long lines, floods, numbers out of every range, echoes, and replies torn
// across the reading windows. The library must give the result its reading rules give, end
// every call within its limit, and never read or write out of bounds (this program also runs
// under AddressSanitizer and UndefinedBehaviorSanitizer).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
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

constexpr long long kQueryLimitMs = 500;
constexpr long long kUuidLimitMs = 2000;
constexpr long long kWriteBudgetMs = 1000 + 10 * 1;  // a single real-time byte
constexpr long long kMarginMs = 1500;
constexpr int32_t kUntouchedState = 42;

using test::msSince;

// Writes text to the controller's side over and over, until destroyed: a controller that
// reports unasked, as fast as the host takes it. Whole lines only, and little more than the
// host's side holds unread, so that every reply line stays whole.
class Flood {
  public:
    Flood(const PtyPair& pty, std::string text)
        : hostSide_(::open(pty.slavePath().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK)),
          thread_([this, fd = pty.master(), text = std::move(text)] {
              while (!stop_.load()) {
                  int unread = 0;
                  if (ioctl(hostSide_, FIONREAD, &unread) != 0 || unread > 1024) {
                      std::this_thread::sleep_for(1ms);
                      continue;
                  }
                  if (::write(fd, text.data(), text.size()) < 0) break;
              }
              finished_.store(true);
          }) {}
    ~Flood() {
        stop_.store(true);
        // A write may still wait for room that nobody makes once the calls are over: read
        // the host's side empty until the thread has noticed the stop.
        while (!finished_.load()) {
            char sink[4096];
            while (::read(hostSide_, sink, sizeof sink) > 0) {
            }
            std::this_thread::sleep_for(1ms);
        }
        thread_.join();
        ::close(hostSide_);
    }
    Flood(const Flood&) = delete;
    Flood& operator=(const Flood&) = delete;

  private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    int hostSide_;
    std::thread thread_;
};

// value is what is left of one of lines when its start has been cut away.
bool isTailOf(const std::string& value, const std::vector<std::string>& lines) {
    for (const std::string& line : lines) {
        if (!value.empty() && value.size() < line.size() &&
            line.compare(line.size() - value.size(), value.size(), value) == 0) {
            return true;
        }
    }
    return false;
}

// The first k bytes of text at once, the rest after the reading window has closed.
Script splitAt(const std::string& text, std::size_t k, int gapMs) {
    return {{0, text.substr(0, k)}, {gapMs, text.substr(k)}};
}

class Hostile : public ::testing::Test {
  protected:
    void SetUp() override {
        controller.answerQueries("<Idle|MPos:0.000,0.000,0.000>\r\n");
        ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
        controller.answer("", "");
        controller.clear();
    }
    void TearDown() override { Korvane_Disconnect(handle); }

    // Answers '?' with one script and every line with another.
    void answerWith(Script query, Script line) {
        controller.respond([query, line](const Input& in) -> Script {
            if (in.is('?')) return query;
            return in.realtime ? Script{} : line;
        });
    }

    // A status query, bounded by its limit; state is left alone unless the result is 0.
    ResultCode stateQuery(int32_t* state, long long limitMs = kQueryLimitMs) {
        const auto start = test::Clock::now();
        const ResultCode result = Korvane_GetState(handle, state);
        EXPECT_LE(msSince(start), limitMs + kMarginMs);
        return result;
    }

    ResultCode uuidQuery(char* buffer, std::size_t length) {
        const auto start = test::Clock::now();
        const ResultCode result = Korvane_GetDeviceUUID(handle, buffer, length);
        EXPECT_LE(msSince(start), kUuidLimitMs + kMarginMs);
        return result;
    }

    std::string lastError() const { return Korvane_GetLastError(handle); }

    PtyPair pty;
    ScriptedController controller{pty};
    DeviceHandle handle = nullptr;
};

// --- Noise --------------------------------------------------------------------------------

TEST_F(Hostile, BinaryNoiseIsPassedOver) {
    std::mt19937 random(20240611);
    auto noiseLine = [&random] {
        std::string noise = "x";  // the start of no reply
        for (int i = 0; i < 2000; ++i) {
            const char c = static_cast<char>(random() & 0xFF);
            noise.push_back(c == '\n' ? '\r' : c);
        }
        return noise + "\r\n";
    };
    for (int round = 0; round < 20; ++round) {
        controller.answer(noiseLine() + "<Idle|MPos:1.000,2.000,3.000>\r\n",
                          noiseLine() + "ok\r\n");
        float positions[6] = {};
        int32_t count = 0;
        ASSERT_EQ(Korvane_GetPosition(handle, positions, &count), KORVANE_SUCCESS) << round;
        EXPECT_EQ(count, 3);
        EXPECT_EQ(positions[2], 3.0f);
        EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_SUCCESS) << round;
    }
    controller.answer(noiseLine(), "");
    int32_t state = kUntouchedState;
    EXPECT_EQ(stateQuery(&state), KORVANE_TIMEOUT) << "noise alone settles nothing";
    EXPECT_EQ(state, kUntouchedState);

    // Noise with line ends of its own: whatever lines it happens to form, the call ends in
    // time with a result that a reply line can give.
    for (int round = 0; round < 30; ++round) {
        std::string noise;
        for (int i = 0; i < 3000; ++i) noise.push_back(static_cast<char>(random() & 0xFF));
        controller.answerQueries(noise + "\n<Idle>\r\n");
        const ResultCode result = stateQuery(&state);
        EXPECT_TRUE(result == KORVANE_SUCCESS || result == KORVANE_TIMEOUT ||
                    result == KORVANE_FIRMWARE_ERROR)
            << round << ": " << result;
        if (result == KORVANE_SUCCESS) {
            EXPECT_GE(state, KORVANE_STATE_IDLE);
            EXPECT_LE(state, KORVANE_STATE_CHECK);
        }
    }
}

TEST_F(Hostile, NulBytesEndTheTextOfALine) {
    using namespace std::string_literals;
    int32_t state = kUntouchedState;
    // The line's text ends at the NUL: the report lost its '>' ...
    controller.answerQueries("<Idle|MPos:1\0,2,3>\r\n"s);
    EXPECT_EQ(stateQuery(&state), KORVANE_TIMEOUT);
    // ... or is whole before it ...
    controller.answerQueries("<Hold|MPos:1,2,3>\0<Idle>\r\n"s);
    EXPECT_EQ(stateQuery(&state), KORVANE_SUCCESS);
    EXPECT_EQ(state, KORVANE_STATE_HOLD);
    // ... or the line is empty text and begins with nothing known.
    state = kUntouchedState;
    controller.answerQueries("\0<Idle>\r\n"s);
    EXPECT_EQ(stateQuery(&state), KORVANE_TIMEOUT);
    EXPECT_EQ(state, kUntouchedState);

    // Lines get the reply given, but the empty line that follows a refusal gets none: this
    // controller answered no empty line at connect, and the library counts on that.
    auto answerLines = [this](std::string text) {
        controller.respond([text](const Input& in) -> Script {
            if (in.is('?')) return test::reply("<Idle>\r\n");
            if (in.realtime || in.line.empty()) return {};
            return test::reply(text);
        });
    };
    answerLines("ok\0junk\r\n"s);
    EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_SUCCESS);
    answerLines("error:\0secret\r\n"s);
    EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(lastError(), "Firmware error: error:");

    answerLines("device_uuid=ab\0cd\r\nok\r\n"s);
    char buffer[16];
    std::memset(buffer, 0x55, sizeof buffer);
    ASSERT_EQ(uuidQuery(buffer, sizeof buffer), KORVANE_SUCCESS);
    EXPECT_EQ(std::string(buffer, sizeof buffer), "ab" + std::string(14, '\0'));

    // Last, as the line it leaves unanswered holds up every line after it.
    answerLines("o\0k\r\n"s);
    EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_TIMEOUT);
    EXPECT_EQ(lastError(), "Timeout waiting for response");
}

// --- Length -------------------------------------------------------------------------------

TEST_F(Hostile, LinesOfTensOfThousandsOfCharactersAreCut) {
    int32_t state = kUntouchedState;
    std::string huge = "<Idle|MPos:";
    for (int i = 0; i < 25000; ++i) huge += "1,";
    controller.answerQueries(huge + ">\r\n");
    EXPECT_EQ(stateQuery(&state), KORVANE_TIMEOUT) << "cut, the report has lost its '>'";

    controller.answerQueries(std::string(40000, 'x') + "\r\n<Idle|MPos:4>\r\n");
    float positions[6] = {};
    ASSERT_EQ(Korvane_GetPosition(handle, positions, nullptr), KORVANE_SUCCESS);
    EXPECT_EQ(positions[0], 4.0f);

    controller.answerQueries("error:" + std::string(30000, 'e') + "\r\n");
    EXPECT_EQ(stateQuery(&state), KORVANE_FIRMWARE_ERROR);
    EXPECT_EQ(lastError(), ("Firmware error: error:" + std::string(300, 'e')).substr(0, 255));

    // The UUID line holds 255 characters; what follows "device_uuid=" of them is the value.
    controller.answerLines("device_uuid=" + std::string(30000, 'u') + "\r\n");
    char buffer[1024];
    std::memset(buffer, 0x55, sizeof buffer);
    ASSERT_EQ(uuidQuery(buffer, sizeof buffer), KORVANE_SUCCESS);
    EXPECT_EQ(std::string(buffer), std::string(255 - 12, 'u'));
    EXPECT_EQ(std::string(buffer + 243, sizeof buffer - 243),
              std::string(sizeof buffer - 243, '\0'));

    // A report of a thousand empty fields is cut like any other line.
    controller.answerQueries("<Idle" + std::string(1000, '|') + ">\r\n");
    EXPECT_EQ(stateQuery(&state), KORVANE_TIMEOUT);
    controller.answerQueries("<Idle" + std::string(500, '|') + ">\r\n");
    EXPECT_EQ(stateQuery(&state), KORVANE_SUCCESS);
}

TEST_F(Hostile, LinesWithNoEndSettleNothing) {
    int32_t state = kUntouchedState;
    controller.answer("<Idle|MPos:1,2,3>", "ok");
    EXPECT_EQ(stateQuery(&state), KORVANE_TIMEOUT);
    EXPECT_EQ(state, kUntouchedState);
    EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_TIMEOUT);
    EXPECT_EQ(controller.realtimeBytes(), "?") << "the unfinished ok sent no query";
}

// A stream that never ends a line, for longer than any limit: each call ends at its own.
TEST_F(Hostile, AStreamThatNeverEndsALineEndsEachCallAtItsLimit) {
    int32_t state = kUntouchedState;
    Script endless;
    for (int i = 0; i < 1000; ++i) endless.push_back({5, "<Idle|MPos:0.000,0.000,0.000"});
    controller.answer("", "");
    controller.sendScript(endless);
    EXPECT_EQ(stateQuery(&state), KORVANE_TIMEOUT);
    EXPECT_EQ(state, kUntouchedState);
    char buffer[64];
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(uuidQuery(buffer, sizeof buffer), KORVANE_TIMEOUT);
    EXPECT_EQ(lastError(), "Timeout waiting for UUID");
    EXPECT_EQ(buffer[0], 0x55);
}

// --- Floods -------------------------------------------------------------------------------

TEST_F(Hostile, AFloodOfStatusReportsStillAnswersEveryCall) {
    const std::string kReport = "<Run|MPos:7.000,8.000,9.000|FS:100,0|Lim:1,0,0,0>";
    Flood flood(pty, kReport + "\r\n");
    controller.respond([](const Input& in) -> Script {
        if (in.isLine("$device_uuid")) return test::reply("device_uuid=flooded\r\n");
        if (!in.realtime) return test::reply("ok\r\n");
        return {};
    });
    for (int i = 0; i < 30; ++i) {
        // The purge may cut a report in two; its tail is passed over and the next one counts.
        float positions[6] = {};
        int32_t count = 0;
        ASSERT_EQ(Korvane_GetPosition(handle, positions, &count), KORVANE_SUCCESS) << i;
        EXPECT_EQ(count, 3);
        EXPECT_EQ(positions[1], 8.0f);
        // The reports of the flood do not settle a command: its "ok" does, and the status
        // query after it.
        ASSERT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_SUCCESS) << i;
    }
    // The purge that starts the UUID query may cut a report in two, and the UUID query takes
    // any line that is not "ok", an error or a report as its answer: the tail of a cut report
    // is such a line. Anything else must be the real answer, which comes through in the end.
    bool answered = false;
    for (int attempt = 0; attempt < 10 && !answered; ++attempt) {
        char buffer[64] = {};
        ASSERT_EQ(uuidQuery(buffer, sizeof buffer), KORVANE_SUCCESS);
        answered = std::string(buffer) == "flooded";
        if (!answered) {
            EXPECT_TRUE(isTailOf(buffer, {kReport})) << buffer;
        }
    }
    EXPECT_TRUE(answered);
}

TEST_F(Hostile, AFloodThatNeverAnswersEndsEachCallAtItsLimit) {
    // Every line completes a window, so only the limit test between lines ends the calls.
    Flood flood(pty, "<Bogus|MPos:1,2,3>\r\nok\r\n<Idle|MPos:1,2,3\r\n");
    int32_t state = kUntouchedState;
    EXPECT_EQ(stateQuery(&state), KORVANE_TIMEOUT);
    EXPECT_EQ(state, kUntouchedState);
    char buffer[32];
    std::memset(buffer, 0x55, sizeof buffer);
    const ResultCode uuid = uuidQuery(buffer, sizeof buffer);
    if (uuid == KORVANE_SUCCESS) {
        // The tail of a line that the purge cut is the only line the UUID query can take.
        EXPECT_TRUE(isTailOf(buffer, {"<Bogus|MPos:1,2,3>", "<Idle|MPos:1,2,3"})) << buffer;
    } else {
        EXPECT_EQ(uuid, KORVANE_TIMEOUT);
        EXPECT_EQ(buffer[0], 0x55);
    }
}

// On a port whose output flow control was turned on behind the library's back (it opens
// ports without), a stop character from the controller holds every write: each one gives up
// within its budget, and the connection works again once the controller lets go.
TEST_F(Hostile, FlowControlStopHoldsWritesOnlyForTheirBudget) {
    {
        const int hostSide = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(hostSide, 0);
        termios tio{};
        ASSERT_EQ(tcgetattr(hostSide, &tio), 0);
        tio.c_iflag |= IXON;
        ASSERT_EQ(tcsetattr(hostSide, TCSANOW, &tio), 0);
        ::close(hostSide);
    }
    controller.answerQueries("<Run>\r\n");
    int32_t state = 0;
    ASSERT_EQ(stateQuery(&state), KORVANE_SUCCESS);

    controller.send("\x13");  // XOFF
    std::this_thread::sleep_for(50ms);
    for (int i = 0; i < 2; ++i) {
        const auto start = test::Clock::now();
        EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_WRITE_FAILED);
        EXPECT_LE(msSince(start), kWriteBudgetMs + kMarginMs);
    }
    EXPECT_EQ(lastError(), "Serial write failed");
    EXPECT_EQ(stateQuery(&state, kWriteBudgetMs), KORVANE_WRITE_FAILED);

    controller.send("\x11");  // XON
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_SUCCESS);
    ASSERT_EQ(stateQuery(&state), KORVANE_SUCCESS);
    EXPECT_EQ(state, KORVANE_STATE_RUN);
}

// --- Numbers ------------------------------------------------------------------------------

// The same number, NaN included; an infinity or a zero keeps its sign.
void expectSameFloat(float actual, float expected, int slot) {
    if (std::isnan(expected)) {
        EXPECT_TRUE(std::isnan(actual)) << "slot " << slot << ": " << actual;
        return;
    }
    EXPECT_EQ(actual, expected) << "slot " << slot;
    EXPECT_EQ(std::signbit(actual), std::signbit(expected)) << "slot " << slot;
}

TEST_F(Hostile, NumbersOutOfEveryRange) {
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float kNan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* report;
        std::vector<float> positions;
        float feed;
        std::array<int32_t, 4> limits;
    };
    const Case cases[] = {
        {"<Idle|MPos:1e999,-1e999,nan,-inf,12345678901234567890,1e-999|FS:1e999,0|"
         "Lim:99999999999999999999,-99999999999999999999,7,-0",
         {kInf, -kInf, kNan, -kInf, std::strtof("12345678901234567890", nullptr), 0.0f},
         kInf,
         {kMax, kMin, 7, 0}},
        // Beyond the float range, a denormal, and an underflow that keeps its sign.
        {"<Idle|MPos:3.5e38,-3.5e38,1e-40,-1e-50|F:-inf|Lim:nan,5",
         {kInf, -kInf, std::strtof("1e-40", nullptr), -0.0f},
         -kInf,
         {0, 0, 0, 0}},
        {"<Idle|FS:nan,0|Lim:-2147483649,2147483648,-2147483648,2147483647",
         {},
         kNan,
         {kMin, kMax, kMin, kMax}},
        // Exponents with more digits than any integer type holds.
        {"<Idle|MPos:1e99999999999999999999,-.5e-99999999999999999999,infinity,-NAN|"
         "Lim:000000000000000000000000000042,-000000000000000000000000000000",
         {kInf, -0.0f, kInf, kNan},
         0.0f,
         {42, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.report);
        controller.answerQueries(std::string(c.report) + ">\r\n");
        float positions[6];
        int32_t count = -1;
        ASSERT_EQ(Korvane_GetPosition(handle, positions, &count), KORVANE_SUCCESS);
        ASSERT_EQ(count, static_cast<int32_t>(c.positions.size()));
        for (std::size_t i = 0; i < 6; ++i) {
            expectSameFloat(positions[i], i < c.positions.size() ? c.positions[i] : 0.0f,
                            static_cast<int>(i));
        }
        float feed = 1.0f;
        ASSERT_EQ(Korvane_GetSpeed(handle, &feed), KORVANE_SUCCESS);
        expectSameFloat(feed, c.feed, -1);
        int32_t limits[4] = {1, 1, 1, 1};
        ASSERT_EQ(Korvane_GetLimits(handle, limits), KORVANE_SUCCESS);
        EXPECT_EQ(std::vector<int32_t>(limits, limits + 4),
                  std::vector<int32_t>(c.limits.begin(), c.limits.end()));
    }
}

// --- Echoes -------------------------------------------------------------------------------

TEST_F(Hostile, EchoedBytesAreNotReplies) {
    int32_t state = kUntouchedState;
    // An echo of the query on the report's own line hides the report: the line does not
    // begin with '<'.
    controller.answerQueries("?<Idle>\r\n");
    EXPECT_EQ(stateQuery(&state), KORVANE_TIMEOUT);
    // On a line of its own, the echo is passed over.
    controller.answerQueries("?\r\n<Run>\r\n");
    ASSERT_EQ(stateQuery(&state), KORVANE_SUCCESS);
    EXPECT_EQ(state, KORVANE_STATE_RUN);

    // A loopback that echoes every command before answering it. A jog line starts a jog that
    // runs until a jog cancel arrives, so that the stops find the machine at rest.
    auto jogging = std::make_shared<std::atomic<bool>>(false);
    controller.respond([jogging](const Input& in) -> Script {
        if (in.is(test::kJogCancel)) *jogging = false;
        if (!in.realtime && in.line.rfind("$J=", 0) == 0) *jogging = true;
        if (in.is('?'))
            return test::reply(*jogging ? "?\r\n<Jog|MPos:5>\r\n" : "?\r\n<Idle|MPos:5>\r\n");
        if (in.realtime) return test::reply(std::string(1, in.byte));
        return test::reply(in.line + "\r\nok\r\n");
    });
    EXPECT_EQ(Korvane_JogRel(handle, 0, 5.0f, 300.0f), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_FeedHold(handle), KORVANE_SUCCESS);  // the cache shows Jog: written
    EXPECT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
    ASSERT_EQ(Korvane_VelocityStart(handle, 0, 600.0f), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForLine("$J=G91 x200.000 F600"));
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    ASSERT_TRUE(controller.waitForRealtime(test::kJogCancel));
    std::this_thread::sleep_for(50ms);  // the echo of 0x85 is waiting unread, without a line end
    ASSERT_EQ(stateQuery(&state), KORVANE_SUCCESS) << "the echo only made a line of noise";
    EXPECT_EQ(state, KORVANE_STATE_IDLE);
    EXPECT_EQ(Korvane_EmergencyStop(handle), KORVANE_SUCCESS);

    // Real-time bytes inside a line make it a line of noise.
    controller.respond(nullptr);
    controller.answerQueries("\x85!~?\r\n<Idle|MPos:1\x85,2>\r\n");
    float positions[6] = {};
    int32_t count = 0;
    ASSERT_EQ(Korvane_GetPosition(handle, positions, &count), KORVANE_SUCCESS);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(positions[0], 1.0f);
}

// --- Replies torn across the reading windows ----------------------------------------------

// Every split point of a short reply, with a pause longer than a reading window between the
// parts: the first part is kept across the window's end and the reply arrives whole.
TEST_F(Hostile, StatusReportSplitAtEveryByte) {
    const std::string report = "<Hold>\r\n";
    for (std::size_t k = 1; k < report.size(); ++k) {
        SCOPED_TRACE("split after byte " + std::to_string(k));
        answerWith(splitAt(report, k, 250), {});
        int32_t state = kUntouchedState;
        ASSERT_EQ(stateQuery(&state), KORVANE_SUCCESS);
        EXPECT_EQ(state, KORVANE_STATE_HOLD);
    }
}

TEST_F(Hostile, OkSplitAtEveryByte) {
    const std::string ok = "ok\r\n";
    for (std::size_t k = 1; k < ok.size(); ++k) {
        SCOPED_TRACE("split after byte " + std::to_string(k));
        controller.clear();
        answerWith(test::reply("<Jog>\r\n"), splitAt(ok, k, 250));
        EXPECT_EQ(Korvane_JogRel(handle, 0, 1.0f, 100.0f), KORVANE_SUCCESS);
        EXPECT_EQ(controller.realtimeBytes(), "?") << "the torn ok is the ok";
    }
}

TEST_F(Hostile, ErrorSplitAtEveryByte) {
    const std::string error = "error:3\r\n";
    for (std::size_t k = 1; k < error.size(); ++k) {
        SCOPED_TRACE("split after byte " + std::to_string(k));
        answerWith(splitAt(error, k, 250), {});
        int32_t state = kUntouchedState;
        EXPECT_EQ(stateQuery(&state), KORVANE_FIRMWARE_ERROR);
        EXPECT_EQ(lastError(),
                  "Firmware error: error:3 (the $ command is not recognised or not supported)");
    }
}

// The UUID query keeps a partial line across its reads, so a reply torn anywhere, even
// between its CR and LF, still arrives whole instead of as a wrong, shortened UUID.
TEST_F(Hostile, UuidReplySplitAtEveryByte) {
    const std::string answerLine = "device_uuid=6f3d\r\n";
    for (std::size_t k = 1; k < answerLine.size(); ++k) {
        SCOPED_TRACE("split after byte " + std::to_string(k));
        answerWith({}, splitAt(answerLine + "ok\r\n", k, 250));
        char buffer[32];
        std::memset(buffer, 0x55, sizeof buffer);
        ASSERT_EQ(uuidQuery(buffer, sizeof buffer), KORVANE_SUCCESS);
        EXPECT_STREQ(buffer, "6f3d");
    }
}

}  // namespace
}  // namespace korvane
