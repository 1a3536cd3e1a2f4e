#include "connection.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "api_names.h"
#include "exit_codes.h"
#include "wide_port_name.h"

namespace korvane::tool {

namespace {

// The path the library opens for a name: absolute paths as they are, others under /dev/.
std::string systemPath(const std::string& port) {
    return !port.empty() && port.front() == '/' ? port : "/dev/" + port;
}

// Whether this process runs with the group: one joined since login is not among them yet.
bool inGroup(gid_t gid) {
    if (getegid() == gid) return true;
    const int count = getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int filled = getgroups(count, groups.data());
    return filled > 0 &&
           std::find(groups.begin(), groups.begin() + filled, gid) != groups.begin() + filled;
}

std::string portLabel(const std::string& port) {
    const std::string path = systemPath(port);
    return path == port ? port : port + " (" + path + ")";
}

// How to get read and write access to a port the user may not open. Serial devices belong
// to a group (dialout on Debian and Ubuntu) whose members may use them; joining it takes
// effect at the next login.
std::string permissionAdvice(const std::string& path) {
    struct stat device {};
    const group* owner = stat(path.c_str(), &device) == 0 ? getgrgid(device.st_gid) : nullptr;
    const mode_t groupReadWrite = S_IRGRP | S_IWGRP;
    if (owner == nullptr || device.st_gid == 0 ||
        (device.st_mode & groupReadWrite) != groupReadWrite || inGroup(device.st_gid)) {
        return "you may not read and write " + path +
               "; `ls -l` shows its owner, group and mode: ask for access to it";
    }
    const std::string name = owner->gr_name;
    return path + " is open to group '" + name + "', which you are not in: run `sudo usermod -aG " +
           name + " $USER`, then log out and back in (or start a shell with `newgrp " + name + "`)";
}

}  // namespace

std::string describeFailure(DeviceHandle handle, ResultCode result) {
    std::string text = resultText(result);
    if (resultStoresMessage(result)) {
        const char* message = Korvane_GetLastError(handle);
        if (message != nullptr && *message != '\0') text += std::string(": ") + message;
    }
    return text;
}

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
            const std::string path = systemPath(port);
            std::string why;
            bool denied = false;
            if (access(path.c_str(), F_OK) != 0) {
                why = ": no such device";
            } else if (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
                why = ": permission denied";
                denied = true;
            } else {
                why = ": busy, not a serial device, or " + std::to_string(baud) + " baud refused";
            }
            console_.error("cannot open port " + portLabel(port) + why + " (result " +
                           resultText(result) + ")");
            if (denied) console_.error(permissionAdvice(path));
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
