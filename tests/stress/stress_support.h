// What the sections of the safety stress program share: the pass/fail tally, a connection to
// a simulator of its own, sessions run side by side, and figures over many timings.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "korvane/korvane.h"
#include "simulator.h"

namespace korvane::stress {

using Clock = std::chrono::steady_clock;

struct Tally {
    long long passed = 0;
    long long failed = 0;
    void check(bool ok) { ok ? ++passed : ++failed; }
    void add(const Tally& other) {
        passed += other.passed;
        failed += other.failed;
    }
};

inline double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

inline void sleepMs(long long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A setup step that cannot go wrong unless the program itself is broken: no figure would
// mean anything after it, so the run ends.
[[noreturn]] inline void fail(const std::string& why) {
    std::fprintf(stderr, "safety_stress: %s\n", why.c_str());
    std::exit(2);
}

// A simulator of its own and a connection to it, closed in reverse order.
class Session {
  public:
    explicit Session(korvane::sim::SimOptions options) : sim_(options) {
        if (!sim_.start()) fail("simulator: " + sim_.error());
        if (Korvane_Connect(sim_.devicePathWide().c_str(), 115200, &handle_) != 0) {
            fail("cannot connect to the simulator");
        }
    }
    ~Session() { Korvane_Disconnect(handle_); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    DeviceHandle handle() const { return handle_; }
    korvane::sim::Simulator& sim() { return sim_; }

    float position(int axis) {
        float positions[6] = {};
        Korvane_GetPosition(handle_, positions, nullptr);
        return positions[axis];
    }

  private:
    korvane::sim::Simulator sim_;
    DeviceHandle handle_ = nullptr;
};

// Runs body(index) for index 0..count-1, each on a thread of its own, and waits for all.
inline void runSideBySide(int count, const std::function<void(int)>& body) {
    std::vector<std::jthread> threads;
    threads.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) threads.emplace_back(body, i);
}

// Shares `total` out over `parts`: the first ones take the remainder.
inline int shareOf(int total, int parts, int index) {
    return total / parts + (index < total % parts ? 1 : 0);
}

// The q-quantile (0..1) of the values, nearest rank; 0 for none.
inline double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

// The sections besides the original ones, each in a file of its own.
void longStops(int cycles, int sessions, Tally& tally);
void stopByteLatency(int stops, Tally& tally);
void feedHolds(int holds, Tally& tally);
void lateReplies(int commands, Tally& tally);

}  // namespace korvane::stress
