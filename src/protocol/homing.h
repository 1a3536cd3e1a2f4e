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
    enum class Outcome { Continue, Homed, Alarm, AlarmLine, Error };

    // A line beginning "error:" ends the wait with Error, one beginning "ALARM:" with
    // AlarmLine; a status report with a known state counts only once one has shown Home:
    // then the first other state ends the wait (Alarm for the Alarm state, Homed for any
    // other) and is left in report().
    // Everything else, and any report before Home was seen, is passed over.
    //
    // Reports before Home are passed over because the first poll may be answered before the
    // controller has even read the homing command, showing the state from before (Alarm
    // included: homing is the way out of one). An "ALARM:" line is no such leftover: the
    // input was purged before the command, so the machine fell into Alarm since. Controllers
    // that answer no status query while homing report a failed cycle only this way.
    Outcome evaluate(const char* line);
    // The same verdict on a report that another reader of the connection took.
    Outcome observe(const StatusReport& report);

    bool homeSeen() const { return homeSeen_; }
    const StatusReport& report() const { return report_; }

  private:
    bool homeSeen_ = false;
    StatusReport report_;
};

// Writes the homing command (once the replies owed to earlier lines are in) and polls and
// watches until the cycle is over (0, the final report stored through the link), an alarm
// ends it (7), its "error:" or an "ALARM:" line arrives (7) or 30 s pass (5). 1 when not
// connected, 4 when the command cannot be written. A line that straddles the end of a window
// is kept whole. The caller holds the I/O lock; between polls it lets other calls through, so
// status queries and stops are served during the cycle, and the reports they read count for
// the cycle too.
std::int32_t runHoming(Link& link, const char* command);

}  // namespace korvane
