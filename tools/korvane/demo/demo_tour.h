// The demo's walk through every export against a running simulator, section by section.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "demo/demo_log.h"
#include "korvane/korvane.h"
#include "simulator.h"

namespace korvane::tool {

class DemoTour {
  public:
    DemoTour(DemoLog& log, sim::Simulator& simulator, std::string expectedUuid);
    ~DemoTour();  // disconnects if a section ended the tour early
    DemoTour(const DemoTour&) = delete;
    DemoTour& operator=(const DemoTour&) = delete;

    void run();

  private:
    using Clock = std::chrono::steady_clock;

    // One status poll: state and positions, printed as one row for the two calls.
    struct Poll {
        bool ok = false;
        std::int32_t state = KORVANE_STATE_UNKNOWN;
        float positions[6] = {};
        Clock::time_point at;
    };

    void library();
    bool connect();
    void statusQueries();
    void homing(std::string_view why);
    void jogs();
    void settings();
    void feedHold();
    void velocityMode();
    void emergencyStop();
    void disconnect();

    // Times `call`, prints its row (the values from `describe` when it succeeded) and returns
    // its result.
    template <typename Call, typename Describe>
    ResultCode step(std::string_view label, ResultCode expected, Call&& call, Describe&& describe);
    template <typename Call>
    ResultCode step(std::string_view label, ResultCode expected, Call&& call);
    // Korvane_GetLastError as a row of its own; returns the message.
    std::string lastError();
    std::int32_t queryState();

    // `rateAxis` >= 0 adds the rate that axis moved at since `previous`.
    Poll poll(Clock::time_point since, const Poll* previous = nullptr, int rateAxis = -1);
    // Polls a few times a second (times shown from `since`) until the machine is Idle again (or a
    // generous limit has passed); returns the last poll and whether any poll caught `axis` strictly
    // between `from` and `to` while jogging, i.e. on its way.
    Poll pollUntilIdle(Clock::time_point since, int axis, float from, float to, bool* sawInBetween);
    // Polls for `durationMs` while velocity mode runs, showing the rate of `axis`; returns the
    // first and the last poll.
    std::pair<Poll, Poll> pollFor(int durationMs, int axis);

    DemoLog& log_;
    sim::Simulator& simulator_;
    std::string expectedUuid_;
    DeviceHandle handle_ = nullptr;
};

}  // namespace korvane::tool
