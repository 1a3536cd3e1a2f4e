// The pseudo-terminal the simulator serves: the master for itself, the slave for the host.
#pragma once

#include <string>

namespace korvane::sim {

class PtyDevice {
  public:
    PtyDevice() = default;
    ~PtyDevice() { close(); }
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    // Opens the pair: the master non-blocking, the slave in raw mode and kept open (never
    // read) until close(). False with error() set on failure, with nothing left open.
    bool open();
    void close();

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    const std::string& error() const { return error_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    std::string error_;
};

}  // namespace korvane::sim
