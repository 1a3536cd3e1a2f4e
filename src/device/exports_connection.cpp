// Opening and closing connections, the last-error text and the version.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "arguments/argument_rules.h"
#include "device/device.h"
#include "korvane/korvane.h"
#include "platform/clock.h"
#include "platform/deadline.h"
#include "platform/thread_error_buffer.h"
#include "protocol/exchange.h"
#include "serial/port_open_failure.h"

using namespace korvane;

namespace {

constexpr std::uint32_t kProbeTimeoutMs = 3000;
// A controller that is still starting (a board that resets when the port opens) loses a
// query sent too early: the probe asks again this often until its limit.
constexpr std::uint32_t kProbeRepeatMs = 250;
// How long the first reply to the empty line may take at least, and at most, before the
// controller counts as one that does not answer empty lines. Between the two, twice the time
// the probe's answer took: a slow controller is given the time it showed it needs.
constexpr std::uint32_t kLineEndFirstReplyMs = 500;
constexpr std::uint32_t kLineEndFirstReplyCapMs = 2000;

struct ProbeOutcome {
    std::int32_t result = KORVANE_TIMEOUT;
    std::uint32_t elapsedMs = 0;  // from the first query to the report
    std::uint32_t queries = 0;    // queries written
};

// Sends "?" every kProbeRepeatMs until a status report arrives or kProbeTimeoutMs pass.
// A welcome banner or other lines that arrive meanwhile are passed over; an "error:" line
// fails the probe.
ProbeOutcome probe(Device& device) {
    ProbeOutcome outcome;
    const Deadline deadline(kProbeTimeoutMs);
    Reply reply;
    while (!deadline.passed()) {
        if (writeRealtime(device, &kStatusQueryByte, 1) != KORVANE_SUCCESS) return outcome;
        ++outcome.queries;
        const Deadline repeat(kProbeRepeatMs);
        for (;;) {
            const std::uint32_t left = repeat.remaining() < deadline.remaining()
                                           ? repeat.remaining()
                                           : deadline.remaining();
            if (!readReply(device, left, &reply)) break;
            if (reply.parsed) {
                device.storeStatus(reply.report, reply.note.freshness);
                device.wire().writeOffQueries();
                outcome.result = KORVANE_SUCCESS;
                outcome.elapsedMs = deadline.elapsed();
                return outcome;
            }
            // A controller that refuses the query is no controller to hand out.
            if (reply.kind == ReplyKind::Error) return outcome;
        }
    }
    return outcome;
}

// Learns how many replies the controller sends for one line. Some take CR and LF as two line
// ends and answer the empty line between them too, so the line "\r\n" alone draws two replies
// there, one from a controller that takes CR LF as one line end, none from one that ignores
// empty lines. A second reply, when it comes, follows the first by the time the controller
// takes to read a line, which the first reply's delay measures.
//
// Meanwhile the answers to the probe's repeated queries, should they still come, are read
// here, so that none is taken later for the answer to a new query.
void learnLineEnds(Device& device, const ProbeOutcome& probed) {
    Wire& wire = device.wire();
    wire.setLineEnds(1, 0);  // nothing is booked for this line: its replies are counted here
    if (wire.writeLine("", LineKind::Empty) == 0) return;
    const std::uint32_t start = tickCount32();
    std::uint32_t firstReplyLimit = 2 * probed.elapsedMs + 100;
    if (firstReplyLimit < kLineEndFirstReplyMs) firstReplyLimit = kLineEndFirstReplyMs;
    if (firstReplyLimit > kLineEndFirstReplyCapMs) firstReplyLimit = kLineEndFirstReplyCapMs;
    std::uint32_t limit = firstReplyLimit;
    std::uint32_t replies = 0;
    std::uint32_t lateReports = 0;
    const std::uint32_t extraQueries = probed.queries > 0 ? probed.queries - 1 : 0;
    const std::uint32_t lateReportLimit =
        extraQueries == 0 ? 0
                          : (probed.elapsedMs < kLineEndFirstReplyCapMs ? probed.elapsedMs
                                                                        : kLineEndFirstReplyCapMs);
    Reply reply;
    for (;;) {
        const bool repliesDone = replies >= 2;
        const bool reportsDone = lateReports >= extraQueries;
        const std::uint32_t now = tickCount32();
        const std::uint32_t forReplies = repliesDone ? 0 : remainingMs(start, limit, now);
        const std::uint32_t forReports = reportsDone ? 0 : remainingMs(start, lateReportLimit, now);
        const std::uint32_t left = forReplies > forReports ? forReplies : forReports;
        if (left == 0 || !readReply(device, left, &reply)) break;
        if (reply.parsed) {
            ++lateReports;
            continue;
        }
        if (reply.kind != ReplyKind::Ok && reply.kind != ReplyKind::Error) continue;
        if (replies < 2 && ++replies == 1) limit = 2 * elapsedMs(start, tickCount32()) + 50;
    }
    wire.setLineEnds(replies >= 2 ? 2 : 1, replies);
}

}  // namespace

extern "C" {

KORVANE_API ResultCode KORVANE_CALL Korvane_Connect(const wchar_t* portName, int32_t baudRate,
                                                    DeviceHandle* outHandle) {
    char* message = threadConnectError();
    message[0] = '\0';
    if (portName == nullptr || outHandle == nullptr) {
        rules::formatRefusal(message, kErrorTextSize,
                             portName == nullptr ? "portName" : "outHandle", "null",
                             rules::kNonNull);
        return KORVANE_INVALID_ARGUMENT;
    }
    // Every failure below discards the device, and with it anything it opened.
    std::unique_ptr<Device> device(new (std::nothrow) Device());
    if (!device) {
        std::snprintf(message, kErrorTextSize, "Out of memory for the connection");
        return KORVANE_RESOURCE_FAILURE;
    }

    PortOpenFailure failure;
    if (!device->port.open(portName, baudRate, &failure)) {
        char text[kPortOpenMessageSize];
        describePortOpenFailure(failure, text);
        std::snprintf(message, kErrorTextSize, "%s", text);
        return KORVANE_PORT_OPEN_FAILED;
    }
    device->connected.store(true);
    device->port.purgeAll();

    // Nobody else can reach the device yet; the lock is taken only to keep the rule that
    // every exchange runs under it.
    std::int32_t result;
    {
        std::lock_guard<std::mutex> io(device->ioMutex);
        const ProbeOutcome probed = probe(*device);
        result = probed.result;
        if (result == KORVANE_SUCCESS) learnLineEnds(*device, probed);
    }
    if (result != KORVANE_SUCCESS) {
        device->port.close();
        device->connected.store(false);
        std::snprintf(message, kErrorTextSize,
                      "Timeout waiting for a controller: no status report within %u ms; check "
                      "the cable, the port and the baud rate",
                      static_cast<unsigned>(kProbeTimeoutMs));
        return KORVANE_TIMEOUT;
    }
    *outHandle = toHandle(device.release());
    return KORVANE_SUCCESS;
}

KORVANE_API ResultCode KORVANE_CALL Korvane_Disconnect(DeviceHandle handle) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    delete toDevice(handle);
    return KORVANE_SUCCESS;
}

KORVANE_API const char* KORVANE_CALL Korvane_GetLastError(DeviceHandle handle) {
    char* buffer = threadErrorBuffer();
    if (handle == nullptr) {
        const char* connectError = threadConnectError();
        if (connectError[0] == '\0') return "Invalid handle";
        std::memcpy(buffer, connectError, kErrorTextSize);
        return buffer;
    }
    toDevice(handle)->copyLastError(buffer);
    return buffer;
}

KORVANE_API const char* KORVANE_CALL Korvane_GetVersion(void) {
    return KORVANE_VERSION_STRING;
}

}  // extern "C"
