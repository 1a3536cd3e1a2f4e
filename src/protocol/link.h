// What the protocol operations need from the connection they talk through.
#pragma once

#include <cstdint>

#include "protocol/status_report.h"
#include "serial/serial_port.h"

namespace korvane {

// The connection side of an exchange. The connection owns the port and the locks; the
// protocol code reads and writes through it and hands back what it learned, so that every
// lock is taken by the connection and none below it.
class Link {
  public:
    virtual SerialPort& serialPort() = 0;
    virtual bool isConnected() const = 0;
    // Replaces the connection's last-error text (printf rules, cut at 255 characters).
    virtual void setLastError(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        = 0;
    // Stores a status report that settled a call as the connection's most recent one.
    virtual void storeStatus(const StatusReport& report) = 0;

    // When the reply to the last command line was read (or waited for in vain): a late "ok"
    // that belongs to that line may still be on its way. Guarded, like the port, by the
    // connection's I/O lock.
    struct LineSettled {
        bool recent = false;
        std::uint32_t tick = 0;
    };
    LineSettled lineSettled;

  protected:
    ~Link() = default;
};

}  // namespace korvane
