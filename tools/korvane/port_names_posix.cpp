#include <unistd.h>

#include "port_names.h"

namespace korvane::tool {

namespace {

// The path the library opens for a name: absolute paths as they are, others under /dev/.
std::string systemPath(const std::string& port) {
    return !port.empty() && port.front() == '/' ? port : "/dev/" + port;
}

}  // namespace

std::string_view portHelpText() {
    return "  --port PORT        serial port: an absolute path, or a name under /dev/ (ttyUSB0)\n"
           "  --baud N           line speed in bits per second (default 115200)\n";
}

std::string portLabel(const std::string& port) {
    const std::string path = systemPath(port);
    return path == port ? port : port + " (" + path + ")";
}

std::string portOpenProblem(const std::string& port, int baud) {
    if (access(systemPath(port).c_str(), F_OK) != 0) return ": no such device";
    return ": busy, not a serial device, or " + std::to_string(baud) + " baud refused";
}

}  // namespace korvane::tool
