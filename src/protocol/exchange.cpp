#include "protocol/exchange.h"

#include <cstring>

#include "platform/clock.h"

namespace korvane {

namespace {

// Reads one byte, or sleeps briefly when none came, so that a quiet line costs no CPU.
bool readOneByte(Link& link, unsigned char* byte) {
    if (link.serialPort().readBytes(byte, 1, kByteWaitMs) == 1) return true;
    sleepMs(kIdleSleepMs);
    return false;
}

enum class Verdict { Ignore, Settled };

Verdict evaluateReply(Link& link, const char* command, const char* line, StatusReport* report,
                      std::int32_t* result) {
    const bool isQuery = std::strcmp(command, "?") == 0;
    switch (classifyReply(line)) {
        case ReplyKind::Ok:
            if (isQuery) return Verdict::Ignore;
            *result = exchange(link, "?", report, kStatusQueryTimeoutMs);
            return Verdict::Settled;
        case ReplyKind::Error:
            link.setLastError("Firmware error: %s", line);
            *result = KORVANE_FIRMWARE_ERROR;
            return Verdict::Settled;
        case ReplyKind::StatusLine:
            // Before its "ok", a line command cannot tell a fresh report from a stale one.
            if (!isQuery) return Verdict::Ignore;
            if (!parseStatusReport(line, report)) return Verdict::Ignore;
            link.storeStatus(*report);
            *result = KORVANE_SUCCESS;
            return Verdict::Settled;
        case ReplyKind::Other:
            break;
    }
    return Verdict::Ignore;
}

std::int32_t exchangeOnce(Link& link, const char* command, StatusReport* report,
                          std::uint32_t timeoutMs) {
    link.serialPort().purgeInput();
    if (std::strcmp(command, "?") == 0) {
        if (!link.isConnected()) return KORVANE_NOT_CONNECTED;
        const unsigned char query = '?';
        if (!link.serialPort().writeRaw(&query, 1)) {
            link.setLastError("Serial write failed");
            return KORVANE_WRITE_FAILED;
        }
    } else {
        const std::int32_t sent = sendCommand(link, command);
        if (sent != KORVANE_SUCCESS) return sent;
    }

    const std::uint32_t start = tickCount32();
    LineAssembler line;
    // The limit is tested between windows only. A partial line outlives its window: a reply
    // that straddles the boundary is read whole in the next one.
    while (elapsedMs(start, tickCount32()) < timeoutMs) {
        const std::uint32_t windowStart = tickCount32();
        while (elapsedMs(windowStart, tickCount32()) < kExchangeWindowMs) {
            unsigned char byte = 0;
            if (!readOneByte(link, &byte)) continue;
            if (!line.push(byte)) continue;
            std::int32_t result = KORVANE_SUCCESS;
            if (evaluateReply(link, command, line.line(), report, &result) == Verdict::Settled) {
                return result;
            }
            break;  // an ignored complete line ends the window
        }
    }
    link.setLastError("Timeout waiting for response");
    return KORVANE_TIMEOUT;
}

}  // namespace

std::int32_t sendCommand(Link& link, const char* command) {
    if (!link.isConnected()) return KORVANE_NOT_CONNECTED;
    if (link.serialPort().writeLine(command)) return KORVANE_SUCCESS;
    link.setLastError("Serial write failed for: %s", command);
    return KORVANE_WRITE_FAILED;
}

std::int32_t exchange(Link& link, const char* command, StatusReport* report,
                      std::uint32_t timeoutMs, Settle settle) {
    if (std::strcmp(command, "?") == 0) return exchangeOnce(link, command, report, timeoutMs);
    if (settle == Settle::AfterPreviousLine) settleTrailingOk(link);
    const std::int32_t result = exchangeOnce(link, command, report, timeoutMs);
    noteLineSettled(link);
    return result;
}

LineReply awaitLineReply(Link& link, std::uint32_t timeoutMs) {
    LineAssembler line;
    const std::uint32_t start = tickCount32();
    while (continueLine(link, line, timeoutMs - elapsedMs(start, tickCount32()))) {
        switch (classifyReply(line.line())) {
            case ReplyKind::Ok:
                return LineReply::Accepted;
            case ReplyKind::Error:
                return LineReply::Refused;
            case ReplyKind::StatusLine:
            case ReplyKind::Other:
                break;
        }
        if (elapsedMs(start, tickCount32()) >= timeoutMs) break;
    }
    return LineReply::NoReply;
}

void settleTrailingOk(Link& link) {
    if (!link.lineSettled.recent) return;
    link.lineSettled.recent = false;
    const std::uint32_t since = link.lineSettled.tick;
    // Whatever arrives now answers earlier commands: it is read and dropped, as a purge would.
    for (;;) {
        const std::uint32_t spent = elapsedMs(since, tickCount32());
        if (spent >= kTrailingOkWindowMs) return;
        const std::uint32_t left = kTrailingOkWindowMs - spent;
        unsigned char byte = 0;
        link.serialPort().readBytes(&byte, 1, left < kByteWaitMs ? left : kByteWaitMs);
    }
}

void noteLineSettled(Link& link) {
    link.lineSettled.recent = true;
    link.lineSettled.tick = tickCount32();
}

bool continueLine(Link& link, LineAssembler& line, std::uint32_t timeoutMs) {
    const std::uint32_t start = tickCount32();
    while (elapsedMs(start, tickCount32()) < timeoutMs) {
        unsigned char byte = 0;
        if (readOneByte(link, &byte) && line.push(byte)) return true;
    }
    return false;
}

bool readLine(Link& link, char* buffer, std::size_t size, std::uint32_t timeoutMs) {
    if (buffer == nullptr || size == 0) return false;
    LineAssembler line(size);
    if (!continueLine(link, line, timeoutMs)) return false;
    std::memcpy(buffer, line.line(), line.length() + 1);
    return true;
}

}  // namespace korvane
