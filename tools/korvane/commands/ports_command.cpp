// ports: the serial ports the system knows, to find what to give --port. It opens none of
// them: a port held by another program, or one the user may not open, is listed all the same.
#include <algorithm>
#include <string>

#include "frame/commands.h"
#include "frame/exit_codes.h"
#include "frame/text_format.h"
#include "platform/port_list.h"

namespace korvane::tool {

int runPorts(const Invocation& call) {
    const std::vector<ListedPort> ports = listSerialPorts();
    if (ports.empty()) {
        call.console.line("no serial ports found");
        return kExitOk;
    }
    std::size_t width = 0;
    for (const ListedPort& port : ports) width = std::max(width, port.name.size());
    for (const ListedPort& port : ports) {
        call.console.line(port.detail.empty() ? port.name
                                              : padRight(port.name, width) + "  " + port.detail);
    }
    return kExitOk;
}

}  // namespace korvane::tool
