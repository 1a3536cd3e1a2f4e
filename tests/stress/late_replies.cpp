// Commands whose replies come late, by anything from nothing to almost twice the command's
// time limit, half of them refused, with either line end habit: no refusal may pass for an
// acceptance, and a command answered well within its limit must get its right result. A
// command after one that timed out may rightly fail ("Controller out of step"): those are
// counted apart, with how many commands it took to be back in step.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <string>

#include "stress_support.h"

namespace korvane::stress {

namespace {

constexpr int kJogLimitMs = 500;     // Korvane_JogAbs's own limit
constexpr int kComfortableMs = 350;  // well under it, parse time and scheduling included
constexpr int kLongestDelayMs = 900;
constexpr float kTravel = 100.0f;  // soft limits of axis x: 0..100

struct Figures {
    long long commands = 0;
    long long refused = 0;
    long long comfortable = 0;
    long long falseSuccesses = 0;
    long long falseFailures = 0;
    long long timeouts = 0;
    long long afterTimeout = 0;       // commands right after a time-out
    long long afterTimeoutRight = 0;  // ... that got their right result all the same
    long long afterTimeoutOutOfStep = 0;
    long long longestRecovery = 0;  // commands it took to be right again after a time-out
    long long falseSuccessesAfterTimeout = 0;
    long long falseFailuresAfterSlow = 0;  // the command before was answered after 350 ms
    std::string firstFalseFailure;
    std::string firstFalseSuccess;
    Tally tally;

    void add(const Figures& o) {
        commands += o.commands;
        refused += o.refused;
        comfortable += o.comfortable;
        falseSuccesses += o.falseSuccesses;
        falseFailures += o.falseFailures;
        timeouts += o.timeouts;
        afterTimeout += o.afterTimeout;
        afterTimeoutRight += o.afterTimeoutRight;
        afterTimeoutOutOfStep += o.afterTimeoutOutOfStep;
        longestRecovery = std::max(longestRecovery, o.longestRecovery);
        falseSuccessesAfterTimeout += o.falseSuccessesAfterTimeout;
        falseFailuresAfterSlow += o.falseFailuresAfterSlow;
        if (firstFalseFailure.empty()) firstFalseFailure = o.firstFalseFailure;
        if (firstFalseSuccess.empty()) firstFalseSuccess = o.firstFalseSuccess;
        tally.add(o.tally);
    }
};

Figures runSession(bool okOnEmptyLine, int commands, unsigned seed) {
    korvane::sim::SimOptions options;
    options.okOnEmptyLine = okOnEmptyLine;
    Session session(options);
    const DeviceHandle h = session.handle();
    if (Korvane_SetSoftLimitRange(h, 0, kTravel, 0.0f) != 0 ||
        Korvane_EnableSoftLimits(h, 0, 1) != 0) {
        fail("cannot set soft limits");
    }
    std::minstd_rand random(seed);
    Figures figures;
    bool afterTimeout = false;
    long long sinceTimeout = 0;  // commands since the last time-out that were not right
    std::string history = "nothing";
    int previousDelay = 0;
    for (int i = 0; i < commands; ++i) {
        const int delay = static_cast<int>(random() % (kLongestDelayMs + 1));
        const bool refuse = i % 2 == 0;
        const float target = refuse ? -10.0f - static_cast<float>(random() % 100)
                                    : 10.0f + static_cast<float>(random() % 80);
        session.sim().setLineParseDelayMs(delay);
        // A fast feed: accepted jogs are over before the next few commands pile up behind.
        const ResultCode r = Korvane_JogAbs(h, 0, target, 6000.0f);
        const ResultCode wanted = refuse ? KORVANE_FIRMWARE_ERROR : KORVANE_SUCCESS;
        const bool right = r == wanted;
        const bool comfortable = delay <= kComfortableMs && !afterTimeout;
        const bool falseSuccess = refuse && r == KORVANE_SUCCESS;
        const bool falseFailure = comfortable && !right;
        figures.commands += 1;
        figures.refused += refuse;
        figures.comfortable += comfortable;
        figures.falseSuccesses += falseSuccess;
        figures.falseFailures += falseFailure;
        figures.falseSuccessesAfterTimeout += falseSuccess && afterTimeout;
        figures.falseFailuresAfterSlow += falseFailure && previousDelay > kComfortableMs;
        previousDelay = delay;
        // What led up to the first wrong result of each kind, for the report.
        const std::string what = std::string(refuse ? "refused" : "accepted") +
                                 " jog, reply after " + std::to_string(delay) + " ms, returned " +
                                 std::to_string(r) + " \"" + Korvane_GetLastError(h) +
                                 "\", after " + history;
        if (falseFailure && figures.firstFalseFailure.empty()) figures.firstFalseFailure = what;
        if (falseSuccess && figures.firstFalseSuccess.empty()) figures.firstFalseSuccess = what;
        history = std::string(refuse ? "a refused" : "an accepted") + " jog " +
                  std::to_string(delay) + " ms late that returned " + std::to_string(r);
        if (afterTimeout) {
            figures.afterTimeout += 1;
            figures.afterTimeoutRight += right;
            figures.afterTimeoutOutOfStep +=
                std::strstr(Korvane_GetLastError(h), "out of step") != nullptr && !right;
        }
        if (r == KORVANE_TIMEOUT) {
            figures.timeouts += 1;
            sinceTimeout += 1;
        } else if (right) {
            if (afterTimeout)
                figures.longestRecovery = std::max(figures.longestRecovery, sinceTimeout);
            sinceTimeout = 0;
        }
        // A time-out leaves the next command owed replies that may come too late for it.
        afterTimeout = r == KORVANE_TIMEOUT || (afterTimeout && !right);
        figures.tally.check(!falseSuccess && !falseFailure);
    }
    return figures;
}

}  // namespace

void lateReplies(int commands, Tally& tally) {
    constexpr int kSessionsPerMode = 4;
    for (const bool okOnEmptyLine : {false, true}) {
        Figures all;
        std::mutex mutex;
        const int share = commands / 2 + (okOnEmptyLine ? 0 : commands % 2);
        const Clock::time_point began = Clock::now();
        runSideBySide(kSessionsPerMode, [&](int index) {
            const Figures figures =
                runSession(okOnEmptyLine, shareOf(share, kSessionsPerMode, index),
                           (okOnEmptyLine ? 211u : 201u) + static_cast<unsigned>(index));
            std::lock_guard<std::mutex> lock(mutex);
            all.add(figures);
        });
        tally.add(all.tally);
        std::printf(
            "late replies (%s, %.0f s): %lld commands, %lld refused, replies late by 0..%d ms "
            "(limit %d ms); false successes: %lld; false failures: %lld of %lld answered "
            "within %d ms (%lld of them after a command answered later than that)\n",
            okOnEmptyLine ? "CR and LF two line ends" : "CR LF one line end",
            msBetween(began, Clock::now()) / 1000.0, all.commands, all.refused, kLongestDelayMs,
            kJogLimitMs, all.falseSuccesses, all.falseFailures, all.comfortable, kComfortableMs,
            all.falseFailuresAfterSlow);
        std::printf(
            "  time-outs: %lld; commands right after one: %lld, right all the same: %lld, out of "
            "step: %lld; longest run of wrong results before one right again: %lld; false "
            "successes right after a time-out: %lld\n",
            all.timeouts, all.afterTimeout, all.afterTimeoutRight, all.afterTimeoutOutOfStep,
            all.longestRecovery, all.falseSuccessesAfterTimeout);
        if (!all.firstFalseSuccess.empty()) {
            std::printf("  first false success: %s\n", all.firstFalseSuccess.c_str());
        }
        if (!all.firstFalseFailure.empty()) {
            std::printf("  first false failure: %s\n", all.firstFalseFailure.c_str());
        }
    }
}

}  // namespace korvane::stress
