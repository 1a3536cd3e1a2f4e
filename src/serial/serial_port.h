// One serial port opened for synchronous byte I/O: the lowest layer of the library.
//
// It knows nothing of the controller's protocol and takes no lock; the connection that owns
// it serialises every use. Every operation but open() first checks that a port is open and
// makes no system call otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/port_open_failure.h"
#include "serial/read_ahead.h"

namespace korvane {

class SerialPort {
  public:
#if defined(_WIN32)
    using NativeHandle = void*;
#else
    using NativeHandle = int;
#endif

    SerialPort() = default;
    ~SerialPort() {
        close();
    }
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    // Opens the port exclusively at baudRate, 8 data bits, no parity, one stop bit, no flow
    // control of any kind, and checks that the driver kept every one of those settings.
    // False on any failure, with nothing left open and, given failure, what went wrong.
    bool open(const wchar_t* portName, std::int32_t baudRate, PortOpenFailure* failure = nullptr);
    // Releases the port; safe to call any number of times.
    void close();
    bool isOpen() const;

    // Discards pending output and unread input (the port's read-ahead included).
    void purgeAll();
    // Discards unread input only (the port's read-ahead included).
    void purgeInput();

    // Reads up to count bytes, waiting at most timeoutMs for them. Returns the number read;
    // 0 on time-out, failure or a closed port alike.
    std::uint32_t readBytes(void* buffer, std::uint32_t count, std::uint32_t timeoutMs);

    // Writes the bytes as they are; true only if every byte was written.
    bool writeRaw(const void* bytes, std::size_t length);
    // Writes text followed by CR LF; true only if the whole line was written. Texts longer
    // than 253 characters (the line buffer less CR, LF and the terminator) are refused
    // without writing anything.
    bool writeLine(const char* text);

    static constexpr std::size_t kLineBufferSize = 256;

    // Budget for one write: a device that never takes the bytes (flow control held by an
    // unplugged adapter) must not block the connection, and every stop command behind it,
    // for ever. Generous enough for the longest line at 1200 baud.
    static constexpr std::uint32_t kWriteTimeoutConstantMs = 1000;
    static constexpr std::uint32_t kWriteTimeoutPerByteMs = 10;

  private:
#if defined(_WIN32)
    NativeHandle handle_ = reinterpret_cast<NativeHandle>(static_cast<std::intptr_t>(-1));
    // The read time limit the driver holds now: time-outs are set again only when a caller
    // asks for a different limit.
    std::uint32_t readLimitMs_ = 0;
#else
    NativeHandle handle_ = -1;
    bool writeAll(const void* bytes, std::size_t length);
#endif
    ReadAhead readAhead_;
};

}  // namespace korvane
