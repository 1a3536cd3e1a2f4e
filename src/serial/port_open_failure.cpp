#include "serial/port_open_failure.h"

#include <cstdio>
#include <cstring>

namespace korvane {

void setFailurePort(PortOpenFailure* failure, const char* port) {
    constexpr std::size_t kRoom = PortOpenFailure::kPortChars - 1;
    const std::size_t length = std::strlen(port);
    if (length <= kRoom) {
        std::memcpy(failure->port, port, length + 1);
        return;
    }
    // Cut at the start of a UTF-8 character, never inside one.
    const char* tail = port + length - (kRoom - 3);
    while ((static_cast<unsigned char>(*tail) & 0xC0) == 0x80) ++tail;
    std::snprintf(failure->port, sizeof failure->port, "...%s", tail);
}

namespace {

// What happened, in words; the parts with a rate or group are written into scratch.
const char* whatHappened(const PortOpenFailure& f, char* scratch, std::size_t size) {
    switch (f.problem) {
        case PortOpenProblem::BadName:
            return "the port name is empty, not valid Unicode, or too long";
        case PortOpenProblem::NoSuchPort:
            return "no such port";
        case PortOpenProblem::InUse:
            return "in use: another program or connection holds it";
        case PortOpenProblem::PermissionDenied:
            // Serial devices are open to a group (dialout on many systems); membership takes
            // effect at the next login, which is the step people miss.
            if (f.group[0] == '\0') return "permission denied; ask for read and write access to it";
            std::snprintf(scratch, size, "permission denied; join the group '%s' and log in again",
                          f.group);
            return scratch;
        case PortOpenProblem::NotSerialDevice:
            return "not a serial device";
        case PortOpenProblem::RateRefused:
            std::snprintf(scratch, size, "%ld baud refused", static_cast<long>(f.baudRate));
            return scratch;
        case PortOpenProblem::SettingsNotKept:
            std::snprintf(scratch, size,
                          "the driver did not keep %ld baud, 8N1 without flow control",
                          static_cast<long>(f.baudRate));
            return scratch;
        case PortOpenProblem::TimeoutsRefused:
            return "the driver refused the read and write time-outs";
        case PortOpenProblem::Other:
            break;
    }
    return f.systemText[0] != '\0' ? f.systemText : "the system refused to open it";
}

}  // namespace

void describePortOpenFailure(const PortOpenFailure& failure, char (&out)[kPortOpenMessageSize]) {
    char scratch[96];
    const char* what = whatHappened(failure, scratch, sizeof scratch);
    char code[32] = "";
    if (failure.source == PortOpenErrorSource::Errno) {
        std::snprintf(code, sizeof code, " (errno %lu)", failure.code);
    } else if (failure.source == PortOpenErrorSource::Windows) {
        std::snprintf(code, sizeof code, " (Windows error %lu)", failure.code);
    }
    // The field sizes keep the sum within the buffer: port 99, what happened 95 at most,
    // code 31, and the fixed text.
    static_assert(sizeof "Port open failed: : " - 1 + PortOpenFailure::kPortChars - 1 +
                      sizeof scratch - 1 + sizeof code - 1 <
                  kPortOpenMessageSize);
    if (failure.problem == PortOpenProblem::BadName || failure.port[0] == '\0') {
        std::snprintf(out, sizeof out, "Port open failed: %s%s", what, code);
    } else {
        std::snprintf(out, sizeof out, "Port open failed: %s: %s%s", failure.port, what, code);
    }
}

}  // namespace korvane
