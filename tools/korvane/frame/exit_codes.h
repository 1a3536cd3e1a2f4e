// Exit codes of the korvane tool, stable so that scripts can branch on them.
#pragma once

namespace korvane::tool {

enum ExitCode : int {
    kExitOk = 0,
    kExitCallFailed = 1,    // a library call returned a failure (after connecting)
    kExitUsage = 2,         // unknown subcommand or option, missing or malformed value
    kExitPortOpen = 3,      // the port could not be opened or configured
    kExitNoController = 4,  // the port opened but no controller answered
};

}  // namespace korvane::tool
