// The platform-independent part of SerialPort.
#include <cstdio>

#include "serial/serial_port.h"

namespace korvane {

bool SerialPort::writeLine(const char* text) {
    if (text == nullptr) return false;
    char line[kLineBufferSize];
    const int n = std::snprintf(line, sizeof line, "%s\r\n", text);
    // A text that does not fit with its CR LF is refused whole: a cut line would reach the
    // controller as a different command.
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof line) return false;
    return writeRaw(line, static_cast<std::size_t>(n));
}

}  // namespace korvane
