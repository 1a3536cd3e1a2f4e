// The serial ports the system knows, for `korvane ports`: device paths on Linux, COM names on
// Windows. port_list_posix.cpp and port_list_win32.cpp hold the two.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvane::tool {

struct ListedPort {
    std::string name;    // what to give --port
    std::string detail;  // what the name stands for ("-> /dev/ttyUSB0", "\Device\Serial0"), or ""
};

// Every port found, in the order to show them; empty when there are none.
std::vector<ListedPort> listSerialPorts();

// Where the list comes from, for `korvane ports --help`.
std::string_view portListHelpText();

}  // namespace korvane::tool
