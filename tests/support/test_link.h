// A connection for protocol tests: a SerialPort on a pty slave, the last error as text and
// the reports the protocol stored, without the locks and exports of the real one.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include "protocol/link.h"
#include "protocol/numbers.h"
#include "support/pty_pair.h"

namespace korvane::test {

class TestLink final : public Link {
  public:
    explicit TestLink(const PtyPair& pty, bool open = true) : Link(port_) {
        if (open) port_.open(pty.slavePathWide().c_str(), 115200);
        connected = port_.isOpen();
    }
    SerialPort& serialPort() override { return port_; }
    bool isConnected() const override { return connected; }
    void setLastError(const char* format, ...) override {
        char text[256];
        va_list args;
        va_start(args, format);
        vformatCommand(text, sizeof text, format, args);
        va_end(args);
        lastError = text;
    }
    void storeStatus(const StatusReport& report, std::uint64_t) override {
        stored.push_back(report);
    }

    bool connected = false;
    std::string lastError;
    std::vector<StatusReport> stored;

  private:
    SerialPort port_;
};

}  // namespace korvane::test
