#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "platform/port_names.h"

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

std::string_view portHelpText() {
    return "  --port PORT        serial port: an absolute path, or a name under /dev/ (ttyUSB0)\n"
           "  --baud N           line speed in bits per second (default 115200)\n";
}

std::string portLabel(const std::string& port) {
    const std::string path = systemPath(port);
    return path == port ? port : port + " (" + path + ")";
}

std::string portOpenAdvice(const std::string& port) {
    const std::string path = systemPath(port);
    if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), R_OK | W_OK) != 0 &&
        errno == EACCES) {
        return permissionAdvice(path);
    }
    return "";
}

}  // namespace korvane::tool
