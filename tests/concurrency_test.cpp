// Many host threads on one connection at once: status queries, jogs, feed holds and resumes
// while another thread starts, changes and stops velocity mode. Nothing may deadlock (a
// watchdog ends the program if the threads do not finish), race (this program runs under
// ThreadSanitizer too) or mix the bytes of two commands on the wire.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "korvane/korvane.h"
#include "simulator.h"
#include "support/scripted_controller.h"

namespace korvane {
namespace {

using namespace std::chrono_literals;
using test::Input;
using test::PtyPair;
using test::Script;
using test::ScriptedController;

// The feed of the jog thread's lines, which tells them apart from the velocity worker's.
constexpr float kJogThreadFeed = 1234.0f;

// Results per export, from every thread.
class Tally {
  public:
    void add(const std::string& call, ResultCode result) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counts_[call][result];
    }
    long count(const std::string& call, ResultCode result) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto c = counts_.find(call);
        if (c == counts_.end()) return 0;
        const auto r = c->second.find(result);
        return r == c->second.end() ? 0 : r->second;
    }
    long total() const {
        std::lock_guard<std::mutex> lock(mutex_);
        long sum = 0;
        for (const auto& [call, results] : counts_) {
            for (const auto& [result, n] : results) sum += n;
        }
        return sum;
    }
    // Every result must be one that the export can give under this load.
    void expectOnly(const std::map<std::string, std::set<ResultCode>>& allowed) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [call, results] : counts_) {
            const auto a = allowed.find(call);
            ASSERT_NE(a, allowed.end()) << call;
            for (const auto& [result, n] : results) {
                EXPECT_TRUE(a->second.count(result) != 0)
                    << call << " returned " << result << " " << n << " times";
            }
        }
    }
    void print(const char* title) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::printf("[ stress   ] %s\n", title);
        for (const auto& [call, results] : counts_) {
            long sum = 0;
            std::string detail;
            for (const auto& [result, n] : results) {
                sum += n;
                detail += " " + std::to_string(result) + ":" + std::to_string(n);
            }
            std::printf("[ stress   ]   %-22s %7ld  (result:count%s)\n", call.c_str(), sum,
                        detail.c_str());
        }
        std::fflush(stdout);
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::map<ResultCode, long>> counts_;
};

// Joins the workers; if they have not all finished long after their run should have ended,
// some call is stuck, and the program ends here rather than hanging the test run.
void joinOrAbort(std::vector<std::thread>& workers, std::chrono::seconds grace) {
    std::mutex mutex;
    std::condition_variable finished;
    bool joined = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!finished.wait_for(lock, grace, [&] { return joined; })) {
            std::fprintf(stderr, "watchdog: host threads still running %lld s after the run\n",
                         static_cast<long long>(grace.count()));
            std::abort();
        }
    });
    for (std::thread& worker : workers) worker.join();
    {
        std::lock_guard<std::mutex> lock(mutex);
        joined = true;
    }
    finished.notify_all();
    watchdog.join();
}

// Runs body on a thread of its own, over and over, until the deadline.
std::thread repeatUntil(test::Clock::time_point deadline, std::function<void(int)> body) {
    return std::thread([deadline, body = std::move(body)] {
        for (int i = 0; test::Clock::now() < deadline; ++i) body(i);
    });
}

// The mixed traffic of a busy host: two threads of status queries (with a UUID query now and
// then), one of small jogs, one of feed holds and resumes, one driving velocity mode.
void runMixedTraffic(DeviceHandle handle, std::chrono::milliseconds duration, Tally& tally) {
    const auto deadline = test::Clock::now() + duration;
    std::vector<std::thread> workers;
    for (int t = 0; t < 2; ++t) {
        workers.push_back(repeatUntil(deadline, [&tally, handle](int i) {
            float positions[6];
            int32_t count = 0;
            int32_t state = 0;
            float feed = 0;
            int32_t limits[4];
            char uuid[64];
            switch (i % 5) {
                case 0:
                    tally.add("GetState", Korvane_GetState(handle, &state));
                    break;
                case 1:
                    tally.add("GetPosition", Korvane_GetPosition(handle, positions, &count));
                    break;
                case 2:
                    tally.add("GetSpeed", Korvane_GetSpeed(handle, &feed));
                    break;
                case 3:
                    tally.add("GetLimits", Korvane_GetLimits(handle, limits));
                    break;
                default:
                    if (i % 25 == 4) {
                        tally.add("GetDeviceUUID",
                                  Korvane_GetDeviceUUID(handle, uuid, sizeof uuid));
                    }
                    break;
            }
        }));
    }
    workers.push_back(repeatUntil(deadline, [&tally, handle](int i) {
        tally.add("JogRel", Korvane_JogRel(handle, 1, i % 2 == 0 ? 0.5f : -0.5f, kJogThreadFeed));
        std::this_thread::sleep_for(5ms);
    }));
    workers.push_back(repeatUntil(deadline, [&tally, handle](int) {
        tally.add("FeedHold", Korvane_FeedHold(handle));
        std::this_thread::sleep_for(10ms);
        tally.add("Resume", Korvane_Resume(handle));
        std::this_thread::sleep_for(10ms);
    }));
    workers.push_back(repeatUntil(deadline, [&tally, handle](int) {
        tally.add("VelocityStart", Korvane_VelocityStart(handle, 0, 600.0f));
        std::this_thread::sleep_for(120ms);
        tally.add("VelocityStart", Korvane_VelocityStart(handle, 0, -600.0f));  // new rate
        std::this_thread::sleep_for(120ms);
        tally.add("VelocityStart", Korvane_VelocityStart(handle, 3, 300.0f));  // new axis
        std::this_thread::sleep_for(120ms);
        tally.add("VelocityStop", Korvane_VelocityStop(handle));
        std::this_thread::sleep_for(40ms);
    }));
    joinOrAbort(workers, std::chrono::duration_cast<std::chrono::seconds>(duration) + 60s);
}

// --- The wire -----------------------------------------------------------------------------

// The empty line is a command of its own: it learns the controller's line ends at connect and
// clears a latched error after a refusal.
bool isKnownCommandLine(const std::string& line) {
    static const std::regex known(
        R"(\$J=G9[01] [xyzabc]-?\d+\.\d{3} F\d+|\$ES|\$H[xyzabc]?|\$device_uuid|)"
        R"(\$MPos=[xyzabc]-?\d+\.\d{3}|)"
        R"(\$axes/[xyzabc]/(acceleration_mm_per_sec2|max_travel_mm|homing/mpos_mm)=-?\d+\.\d{3}|)"
        R"(\$axes/[xyzabc]/soft_limits=(true|false)|)");
    return std::regex_match(line, known);
}

bool isRealtimeByte(char byte) {
    return byte == '?' || byte == '!' || byte == '~' || byte == test::kJogCancel;
}

// What the controller received, read as a controller reads it: real-time bytes between
// lines, lines ended by CR LF. Anything else (a real-time byte inside a line, two lines
// mixed into one, a bare CR or LF, an unfinished line) is recorded as broken.
struct Wire {
    std::map<char, long> realtime;
    std::vector<std::string> lines;
    std::vector<std::string> broken;

    explicit Wire(const std::string& bytes) {
        std::string line;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const char b = bytes[i];
            if (line.empty() && isRealtimeByte(b)) {
                ++realtime[b];
            } else if (b == '\r') {
                if (i + 1 < bytes.size() && bytes[i + 1] == '\n') {
                    ++i;
                    (isKnownCommandLine(line) ? lines : broken).push_back(line);
                } else {
                    broken.push_back(line + "<CR>");
                }
                line.clear();
            } else if (b == '\n') {
                broken.push_back(line + "<LF>");
                line.clear();
            } else {
                line.push_back(b);
            }
        }
        if (!line.empty()) broken.push_back(line + "<unfinished>");
    }

    long linesWithFeed(float feed) const {
        const std::string suffix = " F" + std::to_string(static_cast<int>(feed));
        long n = 0;
        for (const std::string& l : lines) {
            if (l.size() > suffix.size() &&
                l.compare(l.size() - suffix.size(), suffix.size(), suffix) == 0) {
                ++n;
            }
        }
        return n;
    }
};

// A controller that answers everything at once and always reports motion, so that every
// feed hold is written rather than skipped.
void answerEverything(ScriptedController& controller) {
    controller.respond([](const Input& in) -> Script {
        if (in.is('?')) return test::reply("<Run|MPos:1.000,2.000,3.000|FS:300,0|Lim:0,0,0,0>\r\n");
        if (in.isLine("$device_uuid")) return test::reply("device_uuid=stress\r\nok\r\n");
        if (!in.realtime) return test::reply("ok\r\n");
        return {};
    });
}

TEST(Stress, MixedTrafficAgainstTheSimulator) {
    sim::Simulator simulator;
    ASSERT_TRUE(simulator.start()) << simulator.error();
    DeviceHandle handle = nullptr;
    ASSERT_EQ(Korvane_Connect(simulator.devicePathWide().c_str(), 115200, &handle),
              KORVANE_SUCCESS);

    Tally tally;
    runMixedTraffic(handle, 6s, tally);
    tally.print("against the simulator");
    // The simulator refuses a jog while the machine holds or jogs another axis (7); velocity
    // mode refuses it (6). A refusal whose line gave up waiting for it (a worker line under
    // heavy load) can still arrive later and fail the exchange that reads it with 7, a
    // status query too.
    tally.expectOnly({{"GetState", {0, 7}},
                      {"GetPosition", {0, 7}},
                      {"GetSpeed", {0, 7}},
                      {"GetLimits", {0, 7}},
                      {"GetDeviceUUID", {0, 7}},
                      {"JogRel", {0, 6, 7}},
                      {"FeedHold", {0}},
                      {"Resume", {0}},
                      {"VelocityStart", {0}},
                      {"VelocityStop", {0}}});
    EXPECT_GT(tally.count("GetState", 0), 10);
    EXPECT_GT(tally.count("JogRel", 0), 0);

    // Every jog line that got an answer reached the simulator whole.
    long jogLines = 0;
    for (const std::string& line : simulator.receivedLines()) {
        EXPECT_TRUE(isKnownCommandLine(line)) << line;
        if (line.find(" F1234") != std::string::npos) ++jogLines;
    }
    EXPECT_EQ(jogLines, tally.count("JogRel", 0) + tally.count("JogRel", 7));

    // The connection is still in working order.
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_Resume(handle), KORVANE_SUCCESS);
    int32_t state = 0;
    EXPECT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_Disconnect(handle), KORVANE_SUCCESS);
}

TEST(Stress, EveryByteOnTheWireBelongsToAWholeCommand) {
    PtyPair pty;
    ScriptedController controller(pty);
    answerEverything(controller);
    DeviceHandle handle = nullptr;
    ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
    controller.clear();

    Tally tally;
    runMixedTraffic(handle, 4s, tally);
    tally.print("against the scripted controller");
    tally.expectOnly({{"GetState", {0}},
                      {"GetPosition", {0}},
                      {"GetSpeed", {0}},
                      {"GetLimits", {0}},
                      {"GetDeviceUUID", {0}},
                      {"JogRel", {0, 6}},
                      {"FeedHold", {0}},
                      {"Resume", {0}},
                      {"VelocityStart", {0}},
                      {"VelocityStop", {0}}});
    EXPECT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    EXPECT_EQ(Korvane_Disconnect(handle), KORVANE_SUCCESS);

    const Wire wire(controller.received());
    EXPECT_TRUE(wire.broken.empty())
        << wire.broken.size()
        << " broken, first: " << (wire.broken.empty() ? "" : wire.broken.front());
    // Each successful call put exactly its own bytes on the wire, once.
    EXPECT_EQ(wire.realtime.count('!') ? wire.realtime.at('!') : 0, tally.count("FeedHold", 0));
    EXPECT_EQ(wire.realtime.count('~') ? wire.realtime.at('~') : 0, tally.count("Resume", 0));
    EXPECT_EQ(wire.linesWithFeed(kJogThreadFeed), tally.count("JogRel", 0));
    std::printf("[ stress   ] wire: %zu lines, %ld '?', %ld '!', %ld '~', %ld jog cancels\n",
                wire.lines.size(), wire.realtime.count('?') ? wire.realtime.at('?') : 0L,
                wire.realtime.count('!') ? wire.realtime.at('!') : 0L,
                wire.realtime.count('~') ? wire.realtime.at('~') : 0L,
                wire.realtime.count(test::kJogCancel) ? wire.realtime.at(test::kJogCancel) : 0L);
}

// Four threads that break the host's rule and overlap starts, stops, emergency stops and
// jogs on one connection: no crash, no race, no broken command, and once the last stop has
// returned the worker writes nothing more.
TEST(Stress, OverlappingVelocityCallsFromSeveralThreads) {
    PtyPair pty;
    ScriptedController controller(pty);
    answerEverything(controller);
    DeviceHandle handle = nullptr;
    ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);

    Tally tally;
    const auto deadline = test::Clock::now() + 3s;
    std::vector<std::thread> workers;
    for (unsigned seed = 1; seed <= 4; ++seed) {
        workers.push_back(std::thread([&tally, handle, deadline, seed] {
            std::mt19937 random(seed);
            while (test::Clock::now() < deadline) {
                const int axis = static_cast<int>(random() % 3);
                switch (random() % 4) {
                    case 0:
                        tally.add(
                            "VelocityStart",
                            Korvane_VelocityStart(handle, axis, random() % 2 ? 90.0f : -90.0f));
                        break;
                    case 1:
                        tally.add("VelocityStop", Korvane_VelocityStop(handle));
                        break;
                    case 2:
                        tally.add("EmergencyStop", Korvane_EmergencyStop(handle));
                        break;
                    default:
                        tally.add("JogRel", Korvane_JogRel(handle, axis, 1.0f, kJogThreadFeed));
                        break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(random() % 8));
            }
        }));
    }
    joinOrAbort(workers, 60s);
    tally.print("overlapping velocity calls");
    tally.expectOnly({{"VelocityStart", {0}},
                      {"VelocityStop", {0}},
                      {"EmergencyStop", {0}},
                      {"JogRel", {0, 6}}});
    EXPECT_GT(tally.count("VelocityStart", 0), 0);

    ASSERT_EQ(Korvane_VelocityStop(handle), KORVANE_SUCCESS);
    const std::size_t settled = controller.lines().size();
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(controller.lines().size(), settled) << "a jog line after the last stop";
    EXPECT_EQ(Korvane_Disconnect(handle), KORVANE_SUCCESS);

    const Wire wire(controller.received());
    EXPECT_TRUE(wire.broken.empty())
        << wire.broken.size()
        << " broken, first: " << (wire.broken.empty() ? "" : wire.broken.front());
}

}  // namespace
}  // namespace korvane
