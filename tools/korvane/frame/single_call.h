// The shape of the subcommands that make one library call: connect, call, report, close.
#pragma once

#include <string>

#include "frame/commands.h"
#include "frame/connection.h"
#include "frame/port_options.h"

namespace korvane::tool {

// `makeCall(handle)` returns the call's ResultCode; `done` is printed when it succeeded.
template <typename Call>
int runSingleCall(const Invocation& call, const PortOptions& options, const char* name,
                  Call&& makeCall, const std::string& done) {
    Connection connection(call.console);
    if (const int exit = connection.open(options.port, options.baud)) return exit;
    if (const int exit = connection.check(makeCall(connection.handle()), name)) return exit;
    call.console.line(done);
    return connection.close();
}

}  // namespace korvane::tool
