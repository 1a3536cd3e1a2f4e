// Stops that take seconds: a low acceleration makes every jog slow down for 1.5 to 2 s, so
// that stops and reversals land at every point of a deceleration, its last moments included,
// where a second jog cancel leaves a controller of this family deaf to lines. Against a
// simulator with that habit, after each stop: no jog line ran after the last cancel, no
// controller is deaf, and the machine stands.
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <random>

#include "stress_support.h"

namespace korvane::stress {

namespace {

using korvane::sim::MachineState;

// 900 to 1200 units per minute at this acceleration: 1.5 to 2 s of deceleration.
constexpr float kAcceleration = 10.0f;
constexpr int kAxes = 3;

struct Figures {
    long long cycles = 0;
    long long ghosts = 0;       // a jog line taken after the last cancel
    long long deaf = 0;         // a controller left reading no line
    long long notAtRest = 0;    // the stop returned while the machine moved
    long long failedCalls = 0;  // a start or stop that did not return 0
    double longestMs = 0.0;
    double totalMs = 0.0;
    Tally tally;

    void add(const Figures& other) {
        cycles += other.cycles;
        ghosts += other.ghosts;
        deaf += other.deaf;
        notAtRest += other.notAtRest;
        failedCalls += other.failedCalls;
        longestMs = std::max(longestMs, other.longestMs);
        totalMs += other.totalMs;
        tally.add(other.tally);
    }
};

// One session's share: odd cycles reverse before they stop. The reversal's own cancel starts
// a deceleration, and the stop comes anywhere in it or after the reversed jog started.
Figures runSession(int cycles, unsigned seed) {
    korvane::sim::SimOptions options;
    options.deafAfterLateCancel = true;
    Session session(options);
    const DeviceHandle h = session.handle();
    for (int axis = 0; axis < kAxes; ++axis) {
        if (Korvane_SetAcceleration(h, axis, kAcceleration) != 0) fail("cannot set acceleration");
    }
    std::minstd_rand random(seed);
    Figures figures;
    for (int i = 0; i < cycles; ++i) {
        const int axis = static_cast<int>(random() % kAxes);
        const float rate =
            (random() % 2 == 0 ? 1.0f : -1.0f) * static_cast<float>(900 + random() % 301);
        bool started = Korvane_VelocityStart(h, axis, rate) == 0;
        sleepMs(static_cast<long long>(random() % 51));
        if (started && i % 2 == 1) {
            started = Korvane_VelocityStart(h, axis, -rate) == 0;
            // Across the whole deceleration of the reversal, and a little beyond it.
            sleepMs(static_cast<long long>(random() % 2101));
        }
        const Clock::time_point before = Clock::now();
        const ResultCode stopped = Korvane_VelocityStop(h);
        const double took = msBetween(before, Clock::now());
        // A line still waiting in the controller's input is read within the parse delay.
        sleepMs(15);
        korvane::sim::Simulator& sim = session.sim();
        const bool ghost = sim.jogsSinceLastCancel() != 0;
        const bool deaf = sim.deaf();
        const bool resting = sim.state() == MachineState::Idle;
        const bool calls = started && stopped == 0;
        figures.cycles += 1;
        figures.ghosts += ghost;
        figures.deaf += deaf;
        figures.notAtRest += !resting;
        figures.failedCalls += !calls;
        figures.longestMs = std::max(figures.longestMs, took);
        figures.totalMs += took;
        figures.tally.check(calls && !ghost && !deaf && resting);
        if (deaf) Korvane_Resume(h);  // the way out, so that the next cycles still mean something
        if (!resting) {
            Korvane_VelocityStop(h);
            Korvane_FeedHold(h);
        }
    }
    return figures;
}

}  // namespace

void longStops(int cycles, int sessions, Tally& tally) {
    sessions = std::max(1, std::min(sessions, cycles));
    Figures all;
    std::mutex mutex;
    const Clock::time_point began = Clock::now();
    runSideBySide(sessions, [&](int index) {
        const Figures figures =
            runSession(shareOf(cycles, sessions, index), 101u + static_cast<unsigned>(index));
        std::lock_guard<std::mutex> lock(mutex);
        all.add(figures);
    });
    tally.add(all.tally);
    std::printf(
        "long stops: %lld cycles (%d sessions, %.0f s), ghost jogs: %lld, deaf controllers: "
        "%lld, not at rest: %lld, failed calls: %lld, longest stop %.1f ms, mean stop %.1f ms\n",
        all.cycles, sessions, msBetween(began, Clock::now()) / 1000.0, all.ghosts, all.deaf,
        all.notAtRest, all.failedCalls, all.longestMs,
        all.cycles > 0 ? all.totalMs / static_cast<double>(all.cycles) : 0.0);
}

}  // namespace korvane::stress
