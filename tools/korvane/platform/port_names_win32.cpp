#include <windows.h>

#include "frame/wide_port_name.h"
#include "platform/port_names.h"

namespace korvane::tool {

std::string_view portHelpText() {
    return "  --port PORT        serial port: COM3, COM12 and the like\n"
           "  --baud N           line speed in bits per second (default 115200)\n";
}

std::string portLabel(const std::string& port) {
    return port;
}

std::string portOpenProblem(const std::string& port, int baud) {
    // Asks Windows once more, the way the library opens ports, to tell a port that does not
    // exist from one that is held by another program.
    const auto wide = widePortName(port);
    if (!wide) return "";
    const std::wstring path = L"\\\\.\\" + *wide;
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    const DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ": no such port";
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return ": in use by another program";
        default:
            return ": not a serial port, or " + std::to_string(baud) + " baud refused";
    }
}

std::string portOpenAdvice(const std::string&) {
    return "";
}

}  // namespace korvane::tool
