// The simulator as a program in the foreground, as korvane-sim and `korvane sim` run it.
#pragma once

#include <cstdio>

#include "command_line.h"

namespace korvane::sim {

// Serves the simulator the command line describes until SIGINT or SIGTERM: prints the device
// path as the first line on `out`, makes and removes the link, rewrites the status file and
// obeys the silence signals. Messages go to `err` after "<program>: ". Blocks the signals it
// waits for in the calling thread (and so in the simulator's, which inherits the mask) and
// leaves them blocked: a late stop request must not kill the process on its way out.
// 0 after a stop signal, 1 when the pseudo-terminal or the link cannot be made.
int runInForeground(const CommandLine& commandLine, std::FILE* out, std::FILE* err,
                    const char* program);

}  // namespace korvane::sim
