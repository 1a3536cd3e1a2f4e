// The two options every subcommand that talks to a controller shares.
#pragma once

#include <string>

#include "frame/arguments.h"

namespace korvane::tool {

struct PortOptions {
    std::string port;
    int baud = 0;
};

// --port (required) and --baud (default 115200).
PortOptions readPortOptions(OptionReader& read);

}  // namespace korvane::tool
