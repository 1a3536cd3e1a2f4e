// A file that korvane-sim rewrites with what the machine is doing and what it received, so
// that a test can watch the machine while another program holds the port.
#pragma once

#include <string>

#include "simulator.h"

namespace korvane::sim {

// Writes the simulator's current state to `path` through a temporary file and a rename, so
// that a reader sees either the previous or the new contents, never a mix. One "name value"
// pair per line:
//   state Jog
//   x 12.345  (y z a b c likewise, three decimals)
//   feed 600
//   query_bytes N, hold_bytes N, resume_bytes N, jog_cancel_bytes N, reset_bytes N
//   lines N, jog_lines N, estop_lines N, home_lines N, jogs_since_cancel N
// False when the file cannot be written.
bool writeStatusFile(const Simulator& simulator, const std::string& path);

}  // namespace korvane::sim
