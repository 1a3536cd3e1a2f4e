// How soon a stop reaches the controller while another call holds the connection: homing,
// a device UUID query with slow replies, a line command with a slow reply, and the velocity
// worker waiting for the verdict on its jog line. The stop is called from a second thread;
// the simulator stamps the moment the first stop byte (jog cancel or feed hold) arrives.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "stress_support.h"

namespace korvane::stress {

namespace {

using namespace std::chrono_literals;

// Beyond this a stop byte counts as not written at all; the goal is within 10 ms.
constexpr double kSanityBoundMs = 250.0;
constexpr double kGoalMs = 10.0;

enum class Busy { Homing, Uuid, LineCommand, VelocityWorker };

const char* busyName(Busy busy) {
    switch (busy) {
        case Busy::Homing:
            return "homing";
        case Busy::Uuid:
            return "device UUID";
        case Busy::LineCommand:
            return "line command";
        case Busy::VelocityWorker:
            return "velocity worker";
    }
    return "?";
}

enum class Stop { Velocity, Emergency, Hold };

// The first jog cancel or feed hold after arm(), as the simulator received it.
class StopByteClock {
  public:
    explicit StopByteClock(korvane::sim::Simulator& sim) : sim_(sim) {
        sim_.setRealtimeObserver([this](unsigned char byte, Clock::time_point at) {
            if ((byte == 0x85 || byte == '!') && armed_.load() && !arrived_.load()) {
                at_.store(at.time_since_epoch().count());
                arrived_.store(true);
            }
        });
    }
    ~StopByteClock() { sim_.setRealtimeObserver({}); }
    StopByteClock(const StopByteClock&) = delete;
    StopByteClock& operator=(const StopByteClock&) = delete;

    void arm() {
        arrived_.store(false);
        armed_.store(true);
    }
    // Milliseconds from `from` to the stop byte, waiting for it up to the sanity bound; a
    // negative value when none came.
    double since(Clock::time_point from) {
        while (!arrived_.load() && msBetween(from, Clock::now()) < kSanityBoundMs) {
            std::this_thread::sleep_for(1ms);
        }
        armed_.store(false);
        if (!arrived_.load()) return -1.0;
        return msBetween(from, Clock::time_point(Clock::duration(at_.load())));
    }

  private:
    korvane::sim::Simulator& sim_;
    std::atomic<bool> armed_{false};
    std::atomic<bool> arrived_{false};
    std::atomic<Clock::rep> at_{0};  // stored before arrived_ is set
};

struct Sample {
    Busy busy;
    double ms;  // negative: no stop byte came
};

korvane::sim::SimOptions optionsFor(Busy busy) {
    korvane::sim::SimOptions options;
    // "$ES" refused: the emergency stop still stops by its real-time bytes, and no Alarm
    // needs clearing before the next round.
    options.esUnknown = true;
    if (busy == Busy::Homing) options.homingDurationMs = 900;
    return options;
}

// Waits until the busy call's command line has reached the controller. A stop called before
// that finds nothing moving and rightly writes nothing, so it would time no stop byte.
void awaitBusyLine(korvane::sim::Simulator& sim) {
    const Clock::time_point start = Clock::now();
    while (sim.receivedLines().empty() && msBetween(start, Clock::now()) < 2000.0) {
        std::this_thread::sleep_for(1ms);
    }
    if (sim.receivedLines().empty()) fail("the busy call wrote no line within 2 s");
}

// One session's rounds: start the busy call, wait a little into it, stop from this thread.
std::vector<Sample> runSession(Busy busy, int rounds, unsigned seed) {
    Session session(optionsFor(busy));
    const DeviceHandle h = session.handle();
    korvane::sim::Simulator& sim = session.sim();
    StopByteClock stopClock(sim);
    std::minstd_rand random(seed);
    std::vector<Sample> samples;
    for (int i = 0; i < rounds; ++i) {
        std::jthread busyCall;
        sim.clearReceived();
        Stop stop = random() % 2 == 0 ? Stop::Emergency : Stop::Hold;
        switch (busy) {
            case Busy::Homing:
                busyCall = std::jthread([h] { Korvane_Home(h, KORVANE_AXIS_ALL); });
                break;
            case Busy::Uuid:
                sim.setLineParseDelayMs(400);
                busyCall = std::jthread([h] {
                    char uuid[64];
                    Korvane_GetDeviceUUID(h, uuid, sizeof uuid);
                });
                // A hold of a machine known to stand writes nothing, rightly: nothing to time.
                stop = Stop::Emergency;
                break;
            case Busy::LineCommand:
                sim.setLineParseDelayMs(400);
                if (i % 2 == 0) {
                    busyCall = std::jthread(
                        [h, i] { Korvane_JogRel(h, 0, i % 4 == 0 ? 5.0f : -5.0f, 3000.0f); });
                } else {
                    busyCall =
                        std::jthread([h, i] { Korvane_SetPos(h, 1, static_cast<float>(i % 100)); });
                    stop = Stop::Emergency;  // the same: a standing machine is not held
                }
                break;
            case Busy::VelocityWorker:
                sim.setLineParseDelayMs(300);  // the worker waits this long for its verdict
                if (Korvane_VelocityStart(h, 0, i % 2 == 0 ? 600.0f : -600.0f) != 0) {
                    fail("cannot start velocity mode");
                }
                stop = static_cast<Stop>(random() % 3);
                break;
        }
        awaitBusyLine(sim);
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + random() % 250));
        stopClock.arm();
        const Clock::time_point called = Clock::now();
        switch (stop) {
            case Stop::Velocity:
                Korvane_VelocityStop(h);
                break;
            case Stop::Emergency:
                Korvane_EmergencyStop(h);
                break;
            case Stop::Hold:
                Korvane_FeedHold(h);
                break;
        }
        samples.push_back({busy, stopClock.since(called)});
        if (busyCall.joinable()) busyCall.join();
        sim.setLineParseDelayMs(5);
        // Whatever the stop left held or moving ends before the next round.
        Korvane_VelocityStop(h);
        int32_t state = 0;
        for (int polls = 0; polls < 100 && Korvane_GetState(h, &state) == 0 &&
                            state != KORVANE_STATE_IDLE && state != KORVANE_STATE_ALARM;
             ++polls) {
            std::this_thread::sleep_for(20ms);
        }
    }
    return samples;
}

void printFigures(const char* what, const std::vector<double>& ms, long long none) {
    const long long overGoal =
        std::count_if(ms.begin(), ms.end(), [](double v) { return v > kGoalMs; });
    std::printf(
        "  %-16s %4zu stops: p50 %.2f ms, p99 %.2f ms, max %.2f ms, over %.0f ms: %lld, no stop "
        "byte: %lld\n",
        what, ms.size() + static_cast<std::size_t>(none), quantile(ms, 0.5), quantile(ms, 0.99),
        ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()), kGoalMs, overGoal, none);
}

}  // namespace

void stopByteLatency(int stops, Tally& tally) {
    const Busy kinds[] = {Busy::Homing, Busy::Uuid, Busy::LineCommand, Busy::VelocityWorker};
    constexpr int kKinds = 4;
    std::vector<Sample> all;
    std::mutex mutex;
    runSideBySide(kKinds, [&](int index) {
        const std::vector<Sample> samples = runSession(kinds[index], shareOf(stops, kKinds, index),
                                                       31u + static_cast<unsigned>(index));
        std::lock_guard<std::mutex> lock(mutex);
        all.insert(all.end(), samples.begin(), samples.end());
    });
    std::printf("first stop byte latency (call to arrival at the controller):\n");
    std::vector<double> every;
    long long everyNone = 0;
    for (const Busy busy : kinds) {
        std::vector<double> ms;
        long long none = 0;
        for (const Sample& s : all) {
            if (s.busy != busy) continue;
            if (s.ms < 0.0) {
                ++none;
            } else {
                ms.push_back(s.ms);
            }
            tally.check(s.ms >= 0.0 && s.ms < kSanityBoundMs);
        }
        printFigures(busyName(busy), ms, none);
        every.insert(every.end(), ms.begin(), ms.end());
        everyNone += none;
    }
    printFigures("all", every, everyNone);
}

}  // namespace korvane::stress
