// Linux names a USB serial adapter twice: /dev/ttyUSB<n> or /dev/ttyACM<n>, numbered in the
// order the adapters were found, and a link under /dev/serial/by-id/ named after the adapter
// itself, which stays the same from one plug-in to the next. Both are listed, the link with
// the device it points to, so that the user can tell which numbered device is which adapter.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <utility>

#include "platform/port_list.h"

namespace korvane::tool {

namespace {

namespace fs = std::filesystem;

// KORVANE_DEV_ROOT stands in for /dev, so that a test can lay out a device tree of its own.
fs::path deviceRoot() {
    const char* root = std::getenv("KORVANE_DEV_ROOT");
    return root != nullptr && *root != '\0' ? fs::path(root) : fs::path("/dev");
}

// ttyUSB3 and ttyACM0, not ttyUSB or ttyUSB0.1.
bool isAdapterName(std::string_view name) {
    for (const std::string_view prefix : {"ttyUSB", "ttyACM"}) {
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        name.remove_prefix(prefix.size());
        for (const char c : name) {
            if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
        }
        return true;
    }
    return false;
}

// ttyUSB2 before ttyUSB10: names compared with their trailing numbers as numbers.
bool numberedLess(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& text) {
        std::size_t digits = text.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(text[digits - 1])) != 0) {
            --digits;
        }
        return std::pair{text.substr(0, digits), text.substr(digits)};
    };
    const auto [stemA, numberA] = split(a);
    const auto [stemB, numberB] = split(b);
    if (stemA != stemB) return stemA < stemB;
    if (numberA.size() != numberB.size()) return numberA.size() < numberB.size();
    return numberA < numberB;
}

std::vector<ListedPort> byIdLinks(const fs::path& root) {
    std::vector<ListedPort> links;
    std::error_code ec;
    // Stepped with error codes: a folder that changes under the listing ends it early
    // instead of throwing.
    for (fs::directory_iterator it(root / "serial" / "by-id", ec), end; !ec && it != end;
         it.increment(ec)) {
        std::error_code linkError;
        fs::path target = fs::read_symlink(it->path(), linkError);
        std::string detail;
        if (!linkError) {
            // udev's links are relative ("../../ttyUSB0").
            if (target.is_relative()) {
                target = (it->path().parent_path() / target).lexically_normal();
            }
            detail = "-> " + target.string();
            if (!fs::exists(target, linkError)) detail += " (missing)";
        }
        links.push_back({it->path().string(), detail});
    }
    std::sort(links.begin(), links.end(),
              [](const ListedPort& a, const ListedPort& b) { return a.name < b.name; });
    return links;
}

std::vector<ListedPort> numberedDevices(const fs::path& root) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code typeError;
        // A character device once links are followed: a stray file of that name is no port.
        if (isAdapterName(name) && fs::is_character_file(it->path(), typeError)) {
            names.push_back(name);
        }
    }
    std::sort(names.begin(), names.end(), numberedLess);
    std::vector<ListedPort> devices;
    for (const std::string& name : names) devices.push_back({(root / name).string(), ""});
    return devices;
}

}  // namespace

std::vector<ListedPort> listSerialPorts() {
    const fs::path root = deviceRoot();
    std::vector<ListedPort> ports = byIdLinks(root);
    const std::vector<ListedPort> devices = numberedDevices(root);
    ports.insert(ports.end(), devices.begin(), devices.end());
    return ports;
}

std::string_view portListHelpText() {
    return "Shows each name under /dev/serial/by-id/ with the device it links to (these names\n"
           "stay the same for one adapter, whatever order the adapters were plugged in), then\n"
           "/dev/ttyUSB* and /dev/ttyACM*. Says so when there are none.\n";
}

}  // namespace korvane::tool
