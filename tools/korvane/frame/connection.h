// One connection to a controller, owned for the life of a subcommand: opened with clear
// messages for the usual ways a port goes wrong, closed by the destructor on every path.
#pragma once

#include <string>
#include <string_view>

#include "frame/console.h"
#include "korvane/korvane.h"

namespace korvane::tool {

inline constexpr int kDefaultBaud = 115200;

// "<code> <NAME>: <message>", or just "<code> <NAME>" when the failure stores no message.
std::string describeFailure(DeviceHandle handle, ResultCode result);

class Connection {
  public:
    explicit Connection(Console& console) : console_(console) {}
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects and returns kExitOk, or prints why not and returns the matching exit code
    // (kExitPortOpen, kExitNoController, kExitUsage for a name that is not UTF-8, else
    // kExitCallFailed).
    int open(const std::string& port, int baud);

    // kExitOk for KORVANE_SUCCESS; otherwise prints "<call> failed: ..." and returns
    // kExitCallFailed.
    int check(ResultCode result, std::string_view call);

    // Disconnects now and returns the checked result; the destructor does the same quietly.
    int close();

    DeviceHandle handle() const { return handle_; }

  private:
    Console& console_;
    DeviceHandle handle_ = nullptr;
};

}  // namespace korvane::tool
