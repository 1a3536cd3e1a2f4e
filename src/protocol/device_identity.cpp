#include "protocol/device_identity.h"

#include <cstring>

#include "platform/clock.h"
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
    link.serialPort().purgeInput();
    if (!link.serialPort().writeLine("$device_uuid")) {
        link.setLastError("Serial write failed");
        return KORVANE_WRITE_FAILED;
    }
    // The query ends at the value line; the "ok" after it is still on its way.
    struct SettledOnReturn {
        Link& link;
        ~SettledOnReturn() { noteLineSettled(link); }
    } settled{link};
    const std::uint32_t start = tickCount32();
    LineAssembler line(kUuidLineSize);
    while (elapsedMs(start, tickCount32()) < kUuidTimeoutMs) {
        if (!continueLine(link, line, kUuidReadMs)) continue;
        switch (classifyReply(line.line())) {
            case ReplyKind::Ok:
            case ReplyKind::StatusLine:
                continue;
            case ReplyKind::Error:
                link.setLastError("Firmware error: %s", line.line());
                return KORVANE_FIRMWARE_ERROR;
            case ReplyKind::Other:
                copyUuidValue(uuidValueOf(line.line()), buffer, length);
                return KORVANE_SUCCESS;
        }
    }
    link.setLastError("Timeout waiting for UUID");
    return KORVANE_TIMEOUT;
}

}  // namespace korvane
