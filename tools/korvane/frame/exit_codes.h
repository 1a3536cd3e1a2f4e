// Exit codes of the korvane tool, stable so that scripts can branch on them.
#pragma once

namespace korvane::tool {

enum ExitCode : int {
    kExitOk = 0,
    kExitCallFailed = 1,    // a library call returned a failure (after connecting)
    kExitUsage = 2,         // unknown subcommand or option, repeated option, missing or malformed
                            // value, or a value the library would refuse
    kExitPortOpen = 3,      // the port could not be opened or configured
    kExitNoController = 4,  // the port opened but no controller answered
    // A wait ended by a stop request after the machine was stopped: 128 + the signal, as
    // shells report a program that a signal ended (130 for Ctrl-C, 143 for SIGTERM).
    kExitSignalBase = 128,
    kExitInterrupted = kExitSignalBase + 2,
};

}  // namespace korvane::tool
