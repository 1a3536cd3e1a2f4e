#include "protocol/device_identity.h"

#include <cstring>

#include "platform/deadline.h"
#include "protocol/controller_codes.h"
#include "protocol/exchange.h"
#include "protocol/line_assembler.h"

namespace korvane {

const char* uuidValueOf(const char* line) {
    const char* equals = std::strchr(line, '=');
    return equals != nullptr ? equals + 1 : line;
}

void copyUuidValue(const char* value, char* buffer, std::size_t length) {
    std::size_t i = 0;
    for (; i + 1 < length && value[i] != '\0'; ++i) buffer[i] = value[i];
    for (; i + 1 < length; ++i) buffer[i] = '\0';
    buffer[length - 1] = '\0';
}

std::int32_t queryDeviceUuid(Link& link, char* buffer, std::size_t length) {
    const std::int32_t ready = prepareForLine(link, kUuidTimeoutMs);
    if (ready != KORVANE_SUCCESS) return ready;
    const std::uint64_t query = link.wire().writeLine("$device_uuid", LineKind::Setting);
    if (query == 0) {
        link.setLastError("Serial write failed");
        return KORVANE_WRITE_FAILED;
    }
    const Deadline deadline(kUuidTimeoutMs);
    Reply reply;
    while (!deadline.passed()) {
        if (!readReply(link, deadline.remaining(), &reply)) continue;
        switch (reply.kind) {
            case ReplyKind::Ok:
            case ReplyKind::StatusLine:
                continue;
            case ReplyKind::Error:
                // Only the query's own refusal fails it; a late one pays an earlier line.
                if (reply.paid.surplus || reply.paid.line != query || !reply.paid.first) continue;
                link.setLastError("Firmware error: %s", ExplainedLine(reply.text).c_str());
                link.wire().writeLine("", LineKind::Empty);  // clears a latched error
                return KORVANE_FIRMWARE_ERROR;
            case ReplyKind::Other: {
                char line[kUuidLineSize];
                std::strncpy(line, reply.text, sizeof line - 1);
                line[sizeof line - 1] = '\0';
                copyUuidValue(uuidValueOf(line), buffer, length);
                return KORVANE_SUCCESS;
            }
        }
    }
    link.setLastError("Timeout waiting for UUID");
    return KORVANE_TIMEOUT;
}

}  // namespace korvane
