// Stress runs of what keeps a machine safe against a real controller, with counts large
// enough to catch races that a unit test sees once in a while:
//   - start and stop velocity mode with random gaps: no jog may run after the last cancel;
//   - a refused command followed by another one, against a controller that answers the
//     empty line between CR and LF: no refusal may pass for an acceptance;
//   - reversals of velocity mode: each must take effect, and how soon is measured;
//   - commands whose replies come behind stale and unsolicited status reports: no command
//     may be settled by a report;
//   - stops and reversals during decelerations of seconds, against a controller that goes
//     deaf after a late second cancel: none may leave a ghost jog or a deaf controller;
//   - how soon the first stop byte reaches the controller while another call is busy;
//   - feed holds after jogs whose replies were lost and during jogs: none may be skipped;
//   - commands with replies late by up to twice their limit: no false success, and no false
//     failure of a command answered well within its limit.
// Prints its figures and a closing "N passed, N failed" line; exits non-zero on any failure.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "korvane/korvane.h"
#include "simulator.h"
#include "stress_support.h"
#include "support/pty_pair.h"
#include "support/scripted_controller.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A rate change reaches the wire within the worker's pacing and one line exchange; the
// machine then slows to a stop before it runs the new line. Documented in the header.
constexpr long long kReversalBoundMs = 1000;

using korvane::stress::fail;
using korvane::stress::msBetween;
using korvane::stress::Session;
using korvane::stress::Tally;

void startStopCycles(int count, Tally& tally) {
    Session session({});
    std::minstd_rand random(11);
    long long ghosts = 0;
    double longestStop = 0.0;
    for (int i = 0; i < count; ++i) {
        const float rate = (random() % 2 == 0 ? 1.0f : -1.0f) * (300.0f + random() % 900);
        if (Korvane_VelocityStart(session.handle(), static_cast<int32_t>(random() % 3), rate) !=
            0) {
            tally.check(false);
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 21));
        const Clock::time_point before = Clock::now();
        const ResultCode stopped = Korvane_VelocityStop(session.handle());
        longestStop = std::max(longestStop, msBetween(before, Clock::now()));
        // The stop returns once every line it wrote was answered and the machine rests; a
        // line still waiting in the controller's input would be read within the parse delay.
        // (No cancel goes out when no jog line did.)
        std::this_thread::sleep_for(15ms);
        const bool ghost = session.sim().jogsSinceLastCancel() != 0;
        ghosts += ghost;
        tally.check(stopped == 0 && !ghost);
    }
    std::printf("start/stop cycles: %d, jogs after the last cancel: %lld, longest stop %.1f ms\n",
                count, ghosts, longestStop);
}

void refusalPairs(int count, Tally& tally) {
    korvane::sim::SimOptions options;
    options.okOnEmptyLine = true;
    Session session(options);
    DeviceHandle h = session.handle();
    if (Korvane_SetSoftLimitRange(h, 0, 100.0f, 0.0f) != 0 || Korvane_EnableSoftLimits(h, 0, 1)) {
        fail("cannot set soft limits");
    }
    long long falseSuccesses = 0;
    long long wrongFailures = 0;
    for (int i = 0; i < count; ++i) {
        const bool firstRefused = Korvane_JogAbs(h, 0, -500.0f, 600.0f) == KORVANE_FIRMWARE_ERROR;
        // Half the pairs end with a second refusal, half with a command that is accepted.
        bool secondRight = false;
        if (i % 2 == 0) {
            const ResultCode r = Korvane_JogAbs(h, 0, 500.0f, 600.0f);
            falseSuccesses += r == 0;
            secondRight = r == KORVANE_FIRMWARE_ERROR;
        } else {
            const ResultCode r = Korvane_SetPos(h, 1, static_cast<float>(i));
            wrongFailures += r != 0;
            secondRight = r == 0;
        }
        falseSuccesses += !firstRefused;
        tally.check(firstRefused && secondRight);
    }
    std::printf(
        "refused command pairs: %d, false successes: %lld, accepted commands that "
        "failed: %lld\n",
        count, falseSuccesses, wrongFailures);
}

void reversals(int count, Tally& tally) {
    Session session({});
    DeviceHandle h = session.handle();
    float rate = 600.0f;
    if (Korvane_VelocityStart(h, 0, rate) != 0) fail("cannot start velocity mode");
    double longest = 0.0;
    double total = 0.0;
    int late = 0;
    float last = session.position(0);
    for (int i = 0; i < count; ++i) {
        rate = -rate;
        const Clock::time_point changed = Clock::now();
        if (Korvane_VelocityStart(h, 0, rate) != 0) {
            tally.check(false);
            continue;
        }
        // Taken effect: the axis has moved a little in the new direction. The host polls, as
        // velocity mode needs it to.
        bool turned = false;
        while (msBetween(changed, Clock::now()) < 3.0 * kReversalBoundMs) {
            const float now = session.position(0);
            if ((rate > 0.0f && now > last + 0.05f) || (rate < 0.0f && now < last - 0.05f)) {
                turned = true;
                break;
            }
            if ((rate > 0.0f) == (now < last)) last = now;  // still running out the old way
            std::this_thread::sleep_for(5ms);
        }
        const double took = msBetween(changed, Clock::now());
        longest = std::max(longest, took);
        total += took;
        const bool inBound = turned && took <= kReversalBoundMs;
        late += !inBound;
        tally.check(inBound);
        last = session.position(0);
        std::this_thread::sleep_for(20ms);
    }
    Korvane_VelocityStop(h);
    std::printf("reversals: %d, mean %.1f ms, longest %.1f ms, over the %lld ms bound: %d\n", count,
                count > 0 ? total / count : 0.0, longest, kReversalBoundMs, late);
}

void commandsAmidReports(int count, Tally& tally) {
    korvane::test::PtyPair pty;
    korvane::test::ScriptedController controller(pty);
    std::atomic<unsigned> seed{5};
    controller.respond([&seed](const korvane::test::Input& in) -> korvane::test::Script {
        if (in.is('?')) return korvane::test::reply("<Idle|MPos:1.000,2.000,3.000>\r\n");
        if (in.realtime) return {};
        const unsigned s = seed.fetch_add(7919);
        const int delay = static_cast<int>(s % 31);
        // A stale report first, then the command's own answer.
        const bool refuse = in.line.find("x-") != std::string::npos;
        return {{0, "<Run|MPos:9.000,9.000,9.000>\r\n"},
                {delay, refuse ? "error:15\r\n" : "ok\r\n"}};
    });
    DeviceHandle h = nullptr;
    if (Korvane_Connect(pty.slavePathWide().c_str(), 115200, &h) != 0) {
        fail("cannot connect to the scripted controller");
    }
    std::atomic<bool> done{false};
    std::thread noise([&] {  // reports nobody asked for, at random moments
        std::minstd_rand random(3);
        while (!done) {
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 25));
            controller.send("<Jog|MPos:4.000,5.000,6.000>\r\n");
        }
    });
    long long settledByReport = 0;
    long long otherFailures = 0;
    for (int i = 0; i < count; ++i) {
        const bool refuse = i % 2 == 0;
        const ResultCode r = Korvane_JogRel(h, 0, refuse ? -1.0f : 1.0f, 100.0f);
        const bool right = refuse ? r == KORVANE_FIRMWARE_ERROR : r == 0;
        settledByReport += refuse && r == 0;
        otherFailures += !right && !(refuse && r == 0);
        tally.check(right);
    }
    done = true;
    noise.join();
    Korvane_Disconnect(h);
    std::printf(
        "commands amid stale and unsolicited reports: %d, settled by a report: %lld, "
        "other wrong results: %lld\n",
        count, settledByReport, otherFailures);
}

int countArgument(int argc, char** argv, const char* name, int fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows as it comes
    Tally tally;
    startStopCycles(countArgument(argc, argv, "--cycles", 1000), tally);
    refusalPairs(countArgument(argc, argv, "--refusals", 1000), tally);
    reversals(countArgument(argc, argv, "--reversals", 200), tally);
    commandsAmidReports(countArgument(argc, argv, "--reports", 1000), tally);
    korvane::stress::longStops(countArgument(argc, argv, "--long-stops", 1000),
                               countArgument(argc, argv, "--long-stop-sessions", 12), tally);
    korvane::stress::stopByteLatency(countArgument(argc, argv, "--latency-stops", 300), tally);
    korvane::stress::feedHolds(countArgument(argc, argv, "--holds", 1000), tally);
    korvane::stress::lateReplies(countArgument(argc, argv, "--late-replies", 1000), tally);
    std::printf("%lld passed, %lld failed\n", tally.passed, tally.failed);
    return tally.failed == 0 ? 0 : 1;
}
