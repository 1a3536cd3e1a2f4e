#include "velocity/velocity_controller.h"

#include <chrono>
#include <cmath>
#include <system_error>

#include "korvane/korvane.h"
#include "platform/clock.h"
#include "velocity/jog_line.h"

namespace korvane {

VelocityController::~VelocityController() {
    stop();
    worker_ = std::thread();
    readState_ = nullptr;
    sendLine_ = nullptr;
}

void VelocityController::installCallbacks(SendLine sendLine, ReadState readState) {
    sendLine_ = std::move(sendLine);
    readState_ = std::move(readState);
}

bool VelocityController::start() {
    if (running_.load()) return false;
    running_.store(true);
    try {
        worker_ = std::thread(&VelocityController::run, this);
    } catch (const std::system_error&) {
        running_.store(false);
        return false;
    }
    return true;
}

void VelocityController::stop() {
    running_.store(false);
    if (worker_.joinable()) worker_.join();
}

void VelocityController::run() {
    if (!running_.load()) return;
    bool sentOnce = false;
    float lastSentVelocity = 0.0f;
    std::uint64_t lastSendTick = 0;
    bool sawMotion = false;
    char line[kJogLineSize];

    for (;;) {
        const float v = targetVelocity_.load();
        std::int32_t state = KORVANE_STATE_UNKNOWN;
        bool fresh = false;
        const bool gotState = readState_ ? readState_(&state, &fresh) : false;
        if (gotState) {
            // Only a report taken after the last line was answered says whether that jog
            // runs or has ended; an older one may show the Idle from before it.
            if (fresh && (state == KORVANE_STATE_RUN || state == KORVANE_STATE_JOG)) {
                sawMotion = true;
            }
            if (state == KORVANE_STATE_ALARM || state == KORVANE_STATE_SLEEP ||
                state == KORVANE_STATE_DOOR) {
                running_.store(false);
                return;
            }
        }

        // The last jog has ended (motion was seen, now Idle): jog on, but not sooner than
        // the re-issue delay after the last line.
        const bool jogEnded = gotState && fresh && sawMotion && state == KORVANE_STATE_IDLE &&
                              tickCount64() - lastSendTick >= kReissueDelayMs;
        // A controller queues a jog line behind the one that runs instead of replacing it, so
        // a new rate is preceded by the jog cancel: the machine slows to a stop and then runs
        // the new line.
        const bool rateChanged = sentOnce && std::fabs(v - lastSentVelocity) > kChangeThreshold;
        if (!sentOnce || rateChanged || jogEnded) {
            composeJogLine(axis_, v, line);
            const Sent sent = sendLine_ ? sendLine_(line, rateChanged, refusal_) : Sent::Failed;
            if (sent != Sent::Taken) {
                // A refusal stays in refusal_ for the host's next start or stop to report.
                running_.store(false);
                return;
            }
            sawMotion = false;
            sentOnce = true;
            lastSentVelocity = v;
            lastSendTick = tickCount64();
        }

        // steady_clock: the pacing is not disturbed by changes of the wall clock.
        std::this_thread::sleep_for(std::chrono::milliseconds(kPacingMs));
        if (!running_.load()) return;
    }
}

}  // namespace korvane
