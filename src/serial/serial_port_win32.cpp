// SerialPort on a Windows COM port: synchronous Win32 serial calls.
#include <windows.h>

#include <cstdio>

#include "serial/port_name.h"
#include "serial/port_open_failure.h"
#include "serial/serial_port.h"

namespace korvane {

namespace {

HANDLE native(SerialPort::NativeHandle h) {
    return static_cast<HANDLE>(h);
}

// The read limit set at open: the wait the protocol uses for one byte.
constexpr std::uint32_t kOpeningReadLimitMs = 50;

// Reads wait for one byte at most the caller's limit: no interval time-out, multiplier 0,
// constant = the limit, which the documentation defines for every driver (the read ends when
// its count is met or the constant has passed). Bytes already received are counted first
// (ClearCommError) and taken in one read of exactly that many, which ends at once; only
// when none are there does the port read a single byte and wait. So one refill takes
// everything that has arrived, and a wait returns with the first byte.
//
// The modes meant to do this in one call do not under Wine 8 on a pty: with interval and
// multiplier MAXDWORD, and with interval MAXDWORD and multiplier 0, a read of more than one
// byte waits the whole constant although bytes are there; an interval time-out of 1 ms
// returns at once there but waits a timer tick per read on Windows.
//
// Writes get a bounded budget instead of the platform's "no time-out" (both write totals
// zero), so that a write the device never takes cannot hold the connection for ever.
COMMTIMEOUTS timeoutsFor(std::uint32_t readLimitMs) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = readLimitMs;
    t.WriteTotalTimeoutMultiplier = SerialPort::kWriteTimeoutPerByteMs;
    t.WriteTotalTimeoutConstant = SerialPort::kWriteTimeoutConstantMs;
    return t;
}

bool sameTimeouts(const COMMTIMEOUTS& a, const COMMTIMEOUTS& b) {
    return a.ReadIntervalTimeout == b.ReadIntervalTimeout &&
           a.ReadTotalTimeoutMultiplier == b.ReadTotalTimeoutMultiplier &&
           a.ReadTotalTimeoutConstant == b.ReadTotalTimeoutConstant &&
           a.WriteTotalTimeoutMultiplier == b.WriteTotalTimeoutMultiplier &&
           a.WriteTotalTimeoutConstant == b.WriteTotalTimeoutConstant;
}

// 8N1, binary, and no flow control of any kind: with XON/XOFF one stray 0x13 from the
// controller, and with CTS or DSR handshaking a line the board does not drive, would stop
// every write, the emergency stop included. No abort on error: with it, one framing or
// overrun error would fail every later read and write until the error is cleared. No NUL
// stripping and no error character: the bytes arrive as sent.
//
// DTR and RTS are asserted and left steady. Many controller boards reset when DTR changes;
// Windows drivers raise DTR when the port opens, so asserting it keeps the line where the
// open left it instead of making a second edge, and USB boards often send nothing until the
// host asserts DTR. RTS is asserted as a plain output, not used as a handshake.
//
// fTXContinueOnXoff only matters when the driver itself sends XOFF (fInX); with fInX off it is
// left FALSE, which is also what a driver reports for a port without input flow control.
void applyLineSettings(DCB* dcb, std::int32_t baudRate) {
    dcb->BaudRate = static_cast<DWORD>(baudRate);
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fBinary = TRUE;
    dcb->fParity = FALSE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DTR_CONTROL_ENABLE;
    dcb->fDsrSensitivity = FALSE;
    dcb->fTXContinueOnXoff = FALSE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fNull = FALSE;
    dcb->fRtsControl = RTS_CONTROL_ENABLE;
    dcb->fAbortOnError = FALSE;
}

// SetCommState succeeds on drivers that quietly keep a setting of their own, so what the
// driver holds is read back and compared, field by field, with what was asked.
bool lineSettingsTook(const DCB& actual, const DCB& wanted) {
    return actual.BaudRate == wanted.BaudRate && actual.ByteSize == wanted.ByteSize &&
           actual.Parity == wanted.Parity && actual.StopBits == wanted.StopBits &&
           actual.fBinary == wanted.fBinary && actual.fParity == wanted.fParity &&
           actual.fOutxCtsFlow == wanted.fOutxCtsFlow &&
           actual.fOutxDsrFlow == wanted.fOutxDsrFlow && actual.fDtrControl == wanted.fDtrControl &&
           actual.fDsrSensitivity == wanted.fDsrSensitivity &&
           actual.fTXContinueOnXoff == wanted.fTXContinueOnXoff && actual.fOutX == wanted.fOutX &&
           actual.fInX == wanted.fInX && actual.fErrorChar == wanted.fErrorChar &&
           actual.fNull == wanted.fNull && actual.fRtsControl == wanted.fRtsControl &&
           actual.fAbortOnError == wanted.fAbortOnError;
}

void setSystemFailure(PortOpenFailure* why, PortOpenProblem problem, DWORD error) {
    why->set(problem, PortOpenErrorSource::Windows, error);
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, why->systemText, static_cast<DWORD>(sizeof why->systemText), nullptr);
    // The system's sentences end with a full stop and CR LF, which do not belong mid-message.
    std::size_t end = length < sizeof why->systemText ? length : 0;
    while (end > 0 && (why->systemText[end - 1] == '\r' || why->systemText[end - 1] == '\n' ||
                       why->systemText[end - 1] == '.' || why->systemText[end - 1] == ' ')) {
        --end;
    }
    why->systemText[end] = '\0';
}

// Why CreateFile failed on a COM port, from its error code.
void explainOpenError(DWORD error, PortOpenFailure* why) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_DEV_NOT_EXIST:
            setSystemFailure(why, PortOpenProblem::NoSuchPort, error);
            return;
        // A COM port is opened exclusively; one that another program holds answers with
        // "access denied", which is nearly always what that code means for a port.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
            setSystemFailure(why, PortOpenProblem::InUse, error);
            return;
        default:
            setSystemFailure(why, PortOpenProblem::Other, error);
            return;
    }
}

bool configureLine(HANDLE h, std::int32_t baudRate, PortOpenFailure* why) {
    if (baudRate <= 0) {
        why->set(PortOpenProblem::RateRefused, PortOpenErrorSource::None, 0);
        return false;
    }
    DCB wanted{};
    wanted.DCBlength = sizeof(DCB);
    if (!GetCommState(h, &wanted)) {
        setSystemFailure(why, PortOpenProblem::NotSerialDevice, GetLastError());
        return false;
    }
    applyLineSettings(&wanted, baudRate);
    if (!SetCommState(h, &wanted)) {
        setSystemFailure(why, PortOpenProblem::RateRefused, GetLastError());
        return false;
    }
    DCB actual{};
    actual.DCBlength = sizeof(DCB);
    if (!GetCommState(h, &actual)) {
        setSystemFailure(why, PortOpenProblem::SettingsNotKept, GetLastError());
        return false;
    }
    if (!lineSettingsTook(actual, wanted)) {
        why->set(PortOpenProblem::SettingsNotKept, PortOpenErrorSource::None, 0);
        return false;
    }

    COMMTIMEOUTS timeouts = timeoutsFor(kOpeningReadLimitMs);
    if (!SetCommTimeouts(h, &timeouts)) {
        setSystemFailure(why, PortOpenProblem::TimeoutsRefused, GetLastError());
        return false;
    }
    COMMTIMEOUTS held{};
    if (!GetCommTimeouts(h, &held) || !sameTimeouts(held, timeouts)) {
        why->set(PortOpenProblem::TimeoutsRefused, PortOpenErrorSource::None, 0);
        return false;
    }
    return true;
}

// Bytes the driver has received and no read has taken yet; 0 when it cannot tell. Also clears
// a pending line error, which a driver that aborts on errors would otherwise keep failing
// every read with.
DWORD bytesWaiting(HANDLE h) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(h, &errors, &status)) return 0;
    return status.cbInQue;
}

bool writeAll(HANDLE h, const void* bytes, DWORD length) {
    DWORD written = 0;
    return WriteFile(h, bytes, length, &written, nullptr) != 0 && written == length;
}

}  // namespace

bool SerialPort::open(const wchar_t* portName, std::int32_t baudRate, PortOpenFailure* failure) {
    PortOpenFailure unused;
    PortOpenFailure* why = failure != nullptr ? failure : &unused;
    why->baudRate = baudRate;
    if (portName == nullptr || *portName == L'\0') {
        why->set(PortOpenProblem::BadName, PortOpenErrorSource::None, 0);
        return false;
    }
    // The name as the user gave it, for the message.
    char name[PortOpenFailure::kPortChars * 4];
    if (WideCharToMultiByte(CP_UTF8, 0, portName, -1, name, static_cast<int>(sizeof name), nullptr,
                            nullptr) == 0) {
        std::snprintf(name, sizeof name, "%s", "(a name too long to show)");
    }
    setFailurePort(why, name);
    wchar_t path[kWindowsDevicePathChars];
    windowsDevicePath(portName, path);

    handle_ =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (native(handle_) == INVALID_HANDLE_VALUE) {
        explainOpenError(GetLastError(), why);
        return false;
    }
    if (!configureLine(native(handle_), baudRate, why)) {
        close();
        return false;
    }
    readLimitMs_ = kOpeningReadLimitMs;
    readAhead_.clear();
    return true;
}

void SerialPort::close() {
    if (native(handle_) == INVALID_HANDLE_VALUE) return;
    CloseHandle(native(handle_));
    handle_ = INVALID_HANDLE_VALUE;
    readAhead_.clear();
}

bool SerialPort::isOpen() const {
    return native(handle_) != INVALID_HANDLE_VALUE;
}

void SerialPort::purgeAll() {
    if (!isOpen()) return;
    PurgeComm(native(handle_), PURGE_TXCLEAR | PURGE_RXCLEAR);
    readAhead_.clear();
}

void SerialPort::purgeInput() {
    if (!isOpen()) return;
    PurgeComm(native(handle_), PURGE_RXCLEAR);
    readAhead_.clear();
}

std::uint32_t SerialPort::readBytes(void* buffer, std::uint32_t count, std::uint32_t timeoutMs) {
    if (!isOpen() || buffer == nullptr || count == 0) return 0;
    if (readAhead_.empty()) {
        const HANDLE h = native(handle_);
        unsigned char* area = readAhead_.fillArea();
        DWORD want = bytesWaiting(h);
        if (want > ReadAhead::kCapacity) want = static_cast<DWORD>(ReadAhead::kCapacity);
        if (want == 0) {
            // All-zero read time-outs mean "wait for ever": a zero limit only looks.
            if (timeoutMs == 0) return 0;
            want = 1;
            if (timeoutMs != readLimitMs_) {
                COMMTIMEOUTS timeouts = timeoutsFor(timeoutMs);
                // A wait must never run with a limit other than the one asked for.
                if (!SetCommTimeouts(h, &timeouts)) return 0;
                readLimitMs_ = timeoutMs;
            }
        }
        DWORD got = 0;
        if (!ReadFile(h, area, want, &got, nullptr)) {
            bytesWaiting(h);
            return 0;
        }
        if (got == 0) return 0;
        readAhead_.filled(got);
    }
    return static_cast<std::uint32_t>(readAhead_.take(buffer, count));
}

bool SerialPort::writeRaw(const void* bytes, std::size_t length) {
    if (!isOpen()) return false;
    return writeAll(native(handle_), bytes, static_cast<DWORD>(length));
}

}  // namespace korvane
