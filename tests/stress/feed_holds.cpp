// Feed holds where skipping one would be tempting and wrong: right after a jog whose reply
// or status report was lost (the library cannot know what runs), and during jogs, with a
// hold that a controller honours and one that a controller ignores while jogging. A hold
// that writes nothing while the machine moves, or a jog still running 2 s after the hold,
// is a fault. Decelerations here are short (the default acceleration), far under 2 s.
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <random>

#include "stress_support.h"

namespace korvane::stress {

namespace {

using namespace std::chrono_literals;
using korvane::sim::MachineState;

constexpr double kRunningAfterMs = 2000.0;
constexpr double kBytesWithinMs = 250.0;  // a hold writes at once; this is only a bound

enum class Before { ReplyLost, ReportLost, Jogging, VelocityMode };

struct Figures {
    long long holds = 0;
    long long moving = 0;        // the machine moved when the hold was called
    long long skipped = 0;       // no hold or cancel byte arrived although it moved
    long long stillRunning = 0;  // a jog ran 2 s after the hold
    long long failedHolds = 0;   // the hold itself did not return 0
    Tally tally;

    void add(const Figures& o) {
        holds += o.holds;
        moving += o.moving;
        skipped += o.skipped;
        stillRunning += o.stillRunning;
        failedHolds += o.failedHolds;
        tally.add(o.tally);
    }
};

std::size_t stopBytes(korvane::sim::Simulator& sim) {
    return sim.realtimeCount('!') + sim.realtimeCount(0x85);
}

// Sets the machine going the way `before` says; replies are being dropped on return for the
// lost-reply cases (the caller restores them after the hold).
void setUp(Before before, Session& session, std::minstd_rand& random, int i) {
    const DeviceHandle h = session.handle();
    korvane::sim::Simulator& sim = session.sim();
    // Ten seconds of travel and more: a jog that the hold missed is still running at 2 s.
    const float distance = (i % 2 == 0 ? 1.0f : -1.0f) * 200.0f;
    const float feed = static_cast<float>(600 + random() % 601);
    switch (before) {
        case Before::ReplyLost:
            // Everything dropped: the jog runs, its "ok" and every report are lost.
            sim.setDropEveryNthReply(1);
            Korvane_JogRel(h, 0, distance, feed);
            break;
        case Before::ReportLost: {
            // Every other reply dropped: the "ok" or the report after it is lost, and some
            // of the status queries that follow.
            sim.setDropEveryNthReply(2);
            Korvane_JogRel(h, 0, distance, feed);
            int32_t state = 0;
            for (int polls = static_cast<int>(random() % 3); polls > 0; --polls) {
                Korvane_GetState(h, &state);
            }
            break;
        }
        case Before::Jogging: {
            Korvane_JogRel(h, 0, distance, feed);
            int32_t state = 0;
            for (int polls = static_cast<int>(random() % 3); polls > 0; --polls) {
                Korvane_GetState(h, &state);
            }
            sleepMs(static_cast<long long>(random() % 101));
            break;
        }
        case Before::VelocityMode:
            Korvane_VelocityStart(h, 0, distance > 0.0f ? feed : -feed);
            sleepMs(static_cast<long long>(20 + random() % 200));
            break;
    }
}

Figures runSession(bool holdIgnoredWhileJogging, int holds, unsigned seed) {
    korvane::sim::SimOptions options;
    options.holdIgnoredWhileJogging = holdIgnoredWhileJogging;
    Session session(options);
    const DeviceHandle h = session.handle();
    korvane::sim::Simulator& sim = session.sim();
    std::minstd_rand random(seed);
    Figures figures;
    for (int i = 0; i < holds; ++i) {
        const auto before = static_cast<Before>(i % 4);
        setUp(before, session, random, i);
        const std::size_t bytesBefore = stopBytes(sim);
        const bool moving = sim.state() == MachineState::Jog;
        const Clock::time_point held = Clock::now();
        const ResultCode result = Korvane_FeedHold(h);
        bool wrote = false;
        while (!(wrote = stopBytes(sim) > bytesBefore) &&
               msBetween(held, Clock::now()) < kBytesWithinMs) {
            sleepMs(2);
        }
        sim.setDropEveryNthReply(0);
        // Over for good once nothing moves and no line waits to be read; otherwise judged
        // at 2 s.
        bool running = true;
        while (msBetween(held, Clock::now()) < kRunningAfterMs) {
            if (sim.state() != MachineState::Jog && sim.unreadLines() == 0) {
                running = false;
                break;
            }
            sleepMs(10);
        }
        if (running) running = sim.state() == MachineState::Jog;
        const bool skipped = moving && !wrote;
        figures.holds += 1;
        figures.moving += moving;
        figures.skipped += skipped;
        figures.stillRunning += running;
        figures.failedHolds += result != 0;
        figures.tally.check(result == 0 && !skipped && !running);
        if (running) {
            Korvane_VelocityStop(h);
            Korvane_EmergencyStop(h);
        }
        // The machine stands before the next round.
        int32_t state = 0;
        for (int polls = 0;
             polls < 100 && Korvane_GetState(h, &state) == 0 && state != KORVANE_STATE_IDLE;
             ++polls) {
            sleepMs(10);
        }
    }
    return figures;
}

}  // namespace

void feedHolds(int holds, Tally& tally) {
    constexpr int kSessionsPerBehaviour = 4;
    for (const bool ignored : {false, true}) {
        Figures all;
        std::mutex mutex;
        const int share = holds / 2 + (ignored ? 0 : holds % 2);
        runSideBySide(kSessionsPerBehaviour, [&](int index) {
            const Figures figures =
                runSession(ignored, shareOf(share, kSessionsPerBehaviour, index),
                           (ignored ? 71u : 51u) + static_cast<unsigned>(index));
            std::lock_guard<std::mutex> lock(mutex);
            all.add(figures);
        });
        tally.add(all.tally);
        std::printf(
            "feed holds (%s): %lld, on a moving machine: %lld, skipped: %lld, jogs running "
            "2 s later: %lld, holds that failed: %lld\n",
            ignored ? "hold ignored while jogging" : "hold ends a jog", all.holds, all.moving,
            all.skipped, all.stillRunning, all.failedHolds);
    }
}

}  // namespace korvane::stress
