// What the tool says about serial port names, which differ by platform: device paths on
// Linux, COM names on Windows. port_names_posix.cpp and port_names_win32.cpp hold the two.
#pragma once

#include <string>
#include <string_view>

namespace korvane::tool {

// The --port and --baud lines of the help texts.
std::string_view portHelpText();

// The port as the messages name it, with the device the library opens where that differs
// ("ttyUSB0 (/dev/ttyUSB0)").
std::string portLabel(const std::string& port);

// What the user can do about a port that failed to open, or "" when the tool knows nothing
// to suggest (on Linux: how to join the group a port is open to).
std::string portOpenAdvice(const std::string& port);

}  // namespace korvane::tool
