// SerialPort on a Windows COM port: synchronous Win32 serial calls.
#include <windows.h>

#include <cstdio>

#include "serial/port_name.h"
#include "serial/serial_port.h"

namespace korvane {

namespace {

HANDLE native(SerialPort::NativeHandle h) {
    return static_cast<HANDLE>(h);
}

// Reads return as soon as a byte is there, or after timeoutMs with none. Writes get a
// bounded budget instead of the platform's "no time-out" (both write totals zero), so that
// a write the device never takes cannot hold the connection for ever. False when the driver
// refused them: a read must never run with time-outs other than these.
bool setTimeouts(HANDLE h, DWORD interval, DWORD readConstant) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = readConstant;
    t.WriteTotalTimeoutMultiplier = SerialPort::kWriteTimeoutPerByteMs;
    t.WriteTotalTimeoutConstant = SerialPort::kWriteTimeoutConstantMs;
    return SetCommTimeouts(h, &t) != 0;
}

bool writeAll(HANDLE h, const void* bytes, DWORD length) {
    DWORD written = 0;
    return WriteFile(h, bytes, length, &written, nullptr) != 0 && written == length;
}

}  // namespace

bool SerialPort::open(const wchar_t* portName, std::int32_t baudRate) {
    if (portName == nullptr) return false;
    wchar_t path[kWindowsDevicePathChars];
    windowsDevicePath(portName, path);

    handle_ =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (native(handle_) == INVALID_HANDLE_VALUE) return false;

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(native(handle_), &dcb)) {
        close();
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    // No software flow control: one stray XOFF from the controller would stop every write,
    // the emergency stop included. No abort on error: with it, one framing or overrun error
    // would fail every later read and write until the error is cleared.
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(native(handle_), &dcb) || !setTimeouts(native(handle_), 50, 100)) {
        close();
        return false;
    }
    return true;
}

void SerialPort::close() {
    if (native(handle_) == INVALID_HANDLE_VALUE) return;
    CloseHandle(native(handle_));
    handle_ = INVALID_HANDLE_VALUE;
}

bool SerialPort::isOpen() const {
    return native(handle_) != INVALID_HANDLE_VALUE;
}

void SerialPort::purgeAll() {
    if (!isOpen()) return;
    PurgeComm(native(handle_), PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void SerialPort::purgeInput() {
    if (!isOpen()) return;
    PurgeComm(native(handle_), PURGE_RXCLEAR);
}

std::uint32_t SerialPort::readBytes(void* buffer, std::uint32_t count, std::uint32_t timeoutMs) {
    if (!isOpen()) return 0;
    if (!setTimeouts(native(handle_), MAXDWORD, timeoutMs)) return 0;
    DWORD got = 0;
    if (!ReadFile(native(handle_), buffer, count, &got, nullptr)) {
        // A line error left pending by a driver that aborts on errors all the same.
        DWORD errors = 0;
        ClearCommError(native(handle_), &errors, nullptr);
        return 0;
    }
    return got;
}

bool SerialPort::writeRaw(const void* bytes, std::size_t length) {
    if (!isOpen()) return false;
    return writeAll(native(handle_), bytes, static_cast<DWORD>(length));
}

}  // namespace korvane
