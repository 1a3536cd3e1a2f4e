// What the protocol operations need from the connection they talk through.
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "protocol/line_assembler.h"
#include "protocol/status_report.h"
#include "protocol/wire.h"
#include "serial/serial_port.h"

namespace korvane {

// The connection side of an exchange. The connection owns the port and the locks; the
// protocol code reads and writes through it and hands back what it learned. Reading happens
// under the connection's I/O lock, held by the caller of every protocol operation; writing
// goes through the Wire, whose own lock is held for one write only.
class Link {
  public:
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // For reading (under the I/O lock). Writes go through wire().
    virtual SerialPort& serialPort() = 0;
    virtual bool isConnected() const = 0;
    // Replaces the connection's last-error text (printf rules, cut at 255 characters).
    virtual void setLastError(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        = 0;
    // Stores a status report that settled a call as the connection's most recent one, with
    // the motion epoch it describes (0: read while a motion line was still unanswered).
    virtual void storeStatus(const StatusReport& report, std::uint64_t freshness) = 0;
    // Long waits call this between their polls: the connection lets other calls through
    // (it releases its I/O lock for a moment) and takes the lock back before returning.
    virtual void pauseIo(std::uint32_t ms) {
        sleepMs(ms);
    }

    Wire& wire() {
        return wire_;
    }
    // The reply line being assembled: a line may arrive across several calls, and whoever
    // reads next continues it. Guarded by the I/O lock.
    LineAssembler& pendingLine() {
        return pendingLine_;
    }

  protected:
    // port is the connection's own, constructed after this base; only its address is kept.
    explicit Link(SerialPort& port) : wire_(port) {}
    ~Link() = default;

  private:
    Wire wire_;
    LineAssembler pendingLine_;
};

}  // namespace korvane
