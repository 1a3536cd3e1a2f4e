// Windows keeps the serial ports its drivers have made in the registry key
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, one value a port: the device name
// ("\Device\Serial0") with the COM name as its data. Some virtual port drivers only define the DOS
// name, so the COM names among the DOS devices are added when the registry lacks them.
#include <windows.h>

#include <algorithm>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "platform/port_list.h"

namespace korvane::tool {

namespace {

class RegistryKey {
  public:
    explicit RegistryKey(const wchar_t* path) {
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key_) != ERROR_SUCCESS) {
            key_ = nullptr;
        }
    }
    ~RegistryKey() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

std::string narrow(const std::wstring& text) {
    if (text.empty()) return "";
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(std::max(size, 0)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), result.data(),
                        size, nullptr, nullptr);
    return result;
}

// The number of "COM12", or 0 for anything else ("COMx", "COM", "CONIN$").
unsigned comNumber(const std::wstring& name) {
    if (name.size() < 4 || _wcsnicmp(name.c_str(), L"COM", 3) != 0) return 0;
    unsigned number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (std::iswdigit(name[i]) == 0 || number > 100000) return 0;
        number = number * 10 + static_cast<unsigned>(name[i] - L'0');
    }
    return number;
}

using PortsByNumber = std::map<unsigned, ListedPort>;

void addRegisteredPorts(PortsByNumber& ports) {
    const RegistryKey key(L"HARDWARE\\DEVICEMAP\\SERIALCOMM");
    if (key.get() == nullptr) return;  // no serial port driver has started
    for (DWORD index = 0;; ++index) {
        wchar_t device[256];
        wchar_t name[256];
        DWORD deviceSize = sizeof device / sizeof device[0];
        DWORD nameBytes = sizeof name - sizeof name[0];  // room for a terminator it may lack
        DWORD type = 0;
        const LONG status = RegEnumValueW(key.get(), index, device, &deviceSize, nullptr, &type,
                                          reinterpret_cast<BYTE*>(name), &nameBytes);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS || type != REG_SZ) continue;  // too long: not a port name
        name[nameBytes / sizeof name[0]] = L'\0';
        const std::wstring comName = name;
        if (const unsigned number = comNumber(comName)) {
            ports[number] = {narrow(comName), narrow(device)};
        }
    }
}

void addDosDevicePorts(PortsByNumber& ports) {
    // Every DOS device name, each ended by a 0, the list by another; the call fails with
    // ERROR_INSUFFICIENT_BUFFER until the buffer holds them all.
    std::vector<wchar_t> names(16384);
    DWORD length = 0;
    while ((length = QueryDosDeviceW(nullptr, names.data(), static_cast<DWORD>(names.size()))) ==
               0 &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER && names.size() < (1u << 24)) {
        names.resize(names.size() * 2);
    }
    for (std::size_t at = 0; at < length && names[at] != L'\0';) {
        const std::wstring name = names.data() + at;
        at += name.size() + 1;
        const unsigned number = comNumber(name);
        if (number == 0 || ports.contains(number)) continue;
        wchar_t target[1024];
        const DWORD found = QueryDosDeviceW(name.c_str(), target, sizeof target / sizeof target[0]);
        ports[number] = {narrow(name), found != 0 ? narrow(target) : ""};
    }
}

}  // namespace

std::vector<ListedPort> listSerialPorts() {
    PortsByNumber ports;
    addRegisteredPorts(ports);
    addDosDevicePorts(ports);
    std::vector<ListedPort> list;
    for (auto& [number, port] : ports) list.push_back(std::move(port));
    return list;
}

std::string_view portListHelpText() {
    return "Shows each COM port Windows knows "
           "(HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM\n"
           "and the DOS device names) with its device name, in the order of their numbers.\n"
           "Says so when there are none.\n";
}

}  // namespace korvane::tool
