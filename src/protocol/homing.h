// Waiting for the end of a homing cycle: polling with "?" and watching the state go through
// Home to something else.
#pragma once

#include <cstdint>

#include "protocol/link.h"
#include "protocol/status_report.h"

namespace korvane {

constexpr std::uint32_t kHomingTimeoutMs = 30000;
constexpr std::uint32_t kHomingWindowMs = 200;

// The verdict on each complete line that arrives during homing.
class HomingWatch {
  public:
    enum class Outcome { Continue, Homed, Alarm, Error };

    // A line beginning "error:" ends the wait with Error; a status report with a known state
    // counts only once one has shown Home: then the first other state ends the wait (Alarm
    // for the Alarm state, Homed for any other) and is left in report(). Everything else,
    // and any report before Home was seen, is passed over.
    Outcome evaluate(const char* line);

    bool homeSeen() const { return homeSeen_; }
    const StatusReport& report() const { return report_; }

  private:
    bool homeSeen_ = false;
    StatusReport report_;
};

// After the homing command was written: polls and watches until the cycle is over (0, the
// final report stored through the link), an alarm ends it (7), an "error:" line arrives (7)
// or 30 s pass (5). The caller holds the I/O lock.
std::int32_t waitForHoming(Link& link);

}  // namespace korvane
