// Why a serial port did not open, told so that the user knows what to do about it: plug the
// adapter in, close the other program, join the device's group, pick another device or rate.
//
// The platform layers fill in a PortOpenFailure where the open failed; turning it into the
// message is platform-independent, so both platforms' messages are testable anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

enum class PortOpenProblem {
    BadName,           // the name is empty, not valid Unicode, or too long for a path
    NoSuchPort,        // no device by that name
    InUse,             // another program, or another connection, holds the port
    PermissionDenied,  // the user may not read and write the device
    NotSerialDevice,   // it opened, but takes no line settings
    RateRefused,       // the line settings with this rate were refused
    SettingsNotKept,   // accepted, but the driver did not keep them all
    TimeoutsRefused,   // the driver refused the read and write time-outs
    Other,             // any other failure of the system call; see systemText
};

// Where the failure's code comes from.
enum class PortOpenErrorSource { None, Errno, Windows };

struct PortOpenFailure {
    static constexpr std::size_t kPortChars = 100;
    static constexpr std::size_t kGroupChars = 33;
    static constexpr std::size_t kSystemTextChars = 96;

    PortOpenProblem problem = PortOpenProblem::Other;
    PortOpenErrorSource source = PortOpenErrorSource::None;
    unsigned long code = 0;
    std::int32_t baudRate = 0;
    // The port as the user named it (Windows) or the path opened (POSIX), UTF-8.
    char port[kPortChars] = {};
    // PermissionDenied: the group whose members may use the device; "" when there is none
    // to join (the device belongs to root's group, or is not open to its group).
    char group[kGroupChars] = {};
    // Other: the system's own words for the code.
    char systemText[kSystemTextChars] = {};

    // Records the problem with the code of the system call that failed.
    void set(PortOpenProblem what, PortOpenErrorSource from, unsigned long errorCode) {
        problem = what;
        source = from;
        code = errorCode;
    }
};

// Copies port into failure->port; a name longer than the field keeps its end, which tells
// long device paths (by-id names) apart, behind "...".
void setFailurePort(PortOpenFailure* failure, const char* port);

// The message: "Port open failed: <port>: <what happened>", then " (errno N)" or
// " (Windows error N)" when a system call failed with code N. The whole message always fits
// the 255 characters of a last-error text, so that code at its end is never cut off.
constexpr std::size_t kPortOpenMessageSize = 256;
void describePortOpenFailure(const PortOpenFailure& failure, char (&out)[kPortOpenMessageSize]);

}  // namespace korvane
