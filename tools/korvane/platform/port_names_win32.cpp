#include "platform/port_names.h"

namespace korvane::tool {

std::string_view portHelpText() {
    return "  --port PORT        serial port: COM3, COM12 and the like\n"
           "  --baud N           line speed in bits per second (default 115200)\n";
}

std::string portLabel(const std::string& port) {
    return port;
}

std::string portOpenAdvice(const std::string&) {
    return "";
}

}  // namespace korvane::tool
