#include "frame/connection.h"

#include <optional>

#include "frame/api_names.h"
#include "frame/exit_codes.h"
#include "frame/wide_port_name.h"
#include "platform/port_names.h"

namespace korvane::tool {

std::string describeFailure(DeviceHandle handle, ResultCode result) {
    std::string text = resultText(result);
    if (resultStoresMessage(result)) {
        const char* message = Korvane_GetLastError(handle);
        if (message != nullptr && *message != '\0') text += std::string(": ") + message;
    }
    return text;
}

namespace {

// Why the library could not open the port, from the message it keeps for this thread:
// "Port open failed: <port>: <why>", where <port> is the name as given or, for a name that is
// no path, the device under /dev/. The tool names the port its own way, so only <why> is
// taken; "" when the library left no such message.
std::string portOpenReason(const std::string& port) {
    const std::string prefix = "Port open failed: ";
    std::string message = Korvane_GetLastError(nullptr);
    if (message.rfind(prefix, 0) != 0) return "";
    message.erase(0, prefix.size());
    for (const std::string& named : {port, "/dev/" + port}) {
        if (message.rfind(named + ": ", 0) == 0) return message.substr(named.size() + 2);
    }
    return message;
}

}  // namespace

Connection::~Connection() {
    if (handle_ != nullptr) Korvane_Disconnect(handle_);
}

int Connection::open(const std::string& port, int baud) {
    const std::optional<std::wstring> wide = widePortName(port);
    if (!wide) {
        console_.error("the port name is not valid UTF-8");
        return kExitUsage;
    }
    DeviceHandle handle = nullptr;
    const ResultCode result = Korvane_Connect(wide->c_str(), baud, &handle);
    switch (result) {
        case KORVANE_SUCCESS:
            handle_ = handle;
            return kExitOk;
        case KORVANE_PORT_OPEN_FAILED: {
            const std::string reason = portOpenReason(port);
            console_.error("cannot open port " + portLabel(port) +
                           (reason.empty() ? "" : ": " + reason) + " (result " +
                           resultText(result) + ")");
            const std::string advice = portOpenAdvice(port);
            if (!advice.empty()) console_.error(advice);
            return kExitPortOpen;
        }
        case KORVANE_TIMEOUT:
            console_.error("no controller answered on " + portLabel(port) + " within 3 s (result " +
                           resultText(result) + ")");
            return kExitNoController;
        default:
            // A failed connect hands out no handle, so there is no message to add.
            console_.error("Korvane_Connect failed on " + portLabel(port) + ": " +
                           resultText(result));
            return kExitCallFailed;
    }
}

int Connection::check(ResultCode result, std::string_view call) {
    if (result == KORVANE_SUCCESS) return kExitOk;
    console_.error(std::string(call) + " failed: " + describeFailure(handle_, result));
    return kExitCallFailed;
}

int Connection::close() {
    if (handle_ == nullptr) return kExitOk;
    DeviceHandle handle = handle_;
    handle_ = nullptr;
    return check(Korvane_Disconnect(handle), "Korvane_Disconnect");
}

}  // namespace korvane::tool
