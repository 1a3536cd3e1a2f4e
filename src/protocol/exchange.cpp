#include "protocol/exchange.h"

#include <cstring>

#include "platform/clock.h"
#include "platform/deadline.h"
#include "protocol/controller_codes.h"

namespace korvane {

namespace {

// Reads one byte, or sleeps briefly when none came, so that a quiet line costs no CPU.
bool readOneByte(Link& link, unsigned char* byte, std::uint32_t waitMs) {
    if (link.serialPort().readBytes(byte, 1, waitMs) == 1) return true;
    sleepMs(kIdleSleepMs);
    return false;
}

bool isQuery(const char* command) {
    return std::strcmp(command, "?") == 0;
}

std::int32_t queryOnce(Link& link, StatusReport* report, std::uint32_t timeoutMs) {
    if (!link.isConnected()) return KORVANE_NOT_CONNECTED;
    std::uint64_t query = 0;
    if (!link.wire().writeRealtime(&kStatusQueryByte, 1, &query)) {
        link.setLastError("Serial write failed");
        return KORVANE_WRITE_FAILED;
    }
    const Deadline deadline(timeoutMs);
    Reply reply;
    bool olderSeen = false;
    Reply older;
    while (readReply(link, deadline.remaining(), &reply)) {
        // The answer to an earlier query (a stop's, say, which nobody waited for) is older
        // than this one; a report that answers none was printed by the controller since.
        if (reply.parsed && reply.note.query != 0 && reply.note.query < query) {
            // Kept in case the count is off (a report lost on the line): it still came
            // after this query was written, which beats no report at all.
            older = reply;
            olderSeen = true;
            continue;
        }
        if (reply.parsed) {
            *report = reply.report;
            link.storeStatus(reply.report, reply.note.freshness);
            return KORVANE_SUCCESS;
        }
        if (reply.kind == ReplyKind::Error && reply.paid.surplus) {
            // The refusal answers the query: no report is coming for it.
            link.wire().writeOffQueries();
            link.setLastError("Firmware error: %s", ExplainedLine(reply.text).c_str());
            return KORVANE_FIRMWARE_ERROR;
        }
    }
    // Its report, should it still come, answers nothing we wait for.
    link.wire().writeOffQueries();
    if (olderSeen) {
        *report = older.report;
        link.storeStatus(older.report, older.note.freshness);
        return KORVANE_SUCCESS;
    }
    link.setLastError("Timeout waiting for response");
    return KORVANE_TIMEOUT;
}

// An empty line clears the error a controller latches after a refusal, which it would
// otherwise repeat for the next command. It is owed its replies like any line; nothing waits
// for them now.
void clearLatchedError(Link& link) {
    link.wire().writeLine("", LineKind::Empty);
}

}  // namespace

namespace {

// Books the line just completed in link.pendingLine().
void bookLine(Link& link, Reply* reply) {
    const LineAssembler& line = link.pendingLine();
    *reply = Reply{};
    reply->text = line.line();
    reply->kind = classifyReply(line.line());
    switch (reply->kind) {
        case ReplyKind::Ok:
            reply->paid = link.wire().pay(true, tickCount32());
            break;
        case ReplyKind::Error:
            reply->paid = link.wire().pay(false, tickCount32());
            break;
        case ReplyKind::StatusLine:
            reply->parsed = parseStatusReport(line.line(), &reply->report);
            if (reply->parsed) reply->note = link.wire().noteReport(reply->report);
            break;
        case ReplyKind::Other:
            if (std::strncmp(line.line(), "ALARM:", 6) == 0) link.wire().noteAlarmLine(line.line());
            break;
    }
}

// Books the replies already in the input, without waiting. With nothing owed, an "ok" or
// "error:" there is a surplus and dropped; read after the next line went out, it would pay
// that line's debt and pass for its verdict. A status report there is from before the
// command and is not taken for its outcome either.
void bookWaitingInput(Link& link) {
    LineAssembler& line = link.pendingLine();
    unsigned char byte = 0;
    Reply reply;
    while (link.serialPort().readBytes(&byte, 1, 0) == 1) {
        if (line.push(byte)) bookLine(link, &reply);
    }
}

}  // namespace

bool readReply(Link& link, std::uint32_t timeoutMs, Reply* reply) {
    if (!continueLine(link, link.pendingLine(), timeoutMs)) return false;
    bookLine(link, reply);
    return true;
}

std::int32_t writeRealtime(Link& link, const unsigned char* bytes, std::size_t count) {
    if (!link.isConnected()) return KORVANE_NOT_CONNECTED;
    if (link.wire().writeRealtime(bytes, count)) return KORVANE_SUCCESS;
    link.setLastError("Serial write failed");
    return KORVANE_WRITE_FAILED;
}

std::int32_t sendCommand(Link& link, const char* command, LineKind kind, std::uint64_t* line) {
    if (!link.isConnected()) return KORVANE_NOT_CONNECTED;
    *line = link.wire().writeLine(command, kind);
    if (*line != 0) return KORVANE_SUCCESS;
    link.setLastError("Serial write failed for: %s", command);
    return KORVANE_WRITE_FAILED;
}

std::int32_t confirmRest(Link& link, bool recancel, const KeepGoing& keepGoing) {
    Wire& wire = link.wire();
    const Deadline cap(kRestCapMs);
    std::uint32_t lastReport = tickCount32();
    std::uint32_t restSince = 0;
    bool resting = false;
    for (;;) {
        if (keepGoing && !keepGoing()) return kRestAbandoned;
        if (recancel && wire.jogRunning()) {
            // A jog line read after the cancel had acted (or written after it): it runs now,
            // just started, and gets a cancel of its own, with a query to tell what the
            // controller did after it.
            const unsigned char stop[] = {kJogCancelByte, kStatusQueryByte};
            const std::int32_t written = writeRealtime(link, stop, sizeof stop);
            if (written != KORVANE_SUCCESS) return written;
            resting = false;
        }
        const bool pending = wire.restPending();
        if (!pending && !wire.awaitsJogVerdict()) return KORVANE_SUCCESS;
        if (!pending) {
            // At rest with a jog line unanswered: it comes within the controller's usual reply
            // time, or the cancel dropped it.
            if (!resting) {
                resting = true;
                restSince = tickCount32();
            }
            const std::uint32_t margin = kLateReplyMarginMs + 2 * wire.slowestReplyMs();
            if (elapsedMs(restSince, tickCount32()) >= margin) {
                wire.writeOffUncertain(true);
                continue;
            }
        }
        if (cap.passed() || elapsedMs(lastReport, tickCount32()) >= kSilenceLimitMs) {
            link.setLastError("Timeout waiting for response");
            return KORVANE_TIMEOUT;
        }
        const std::int32_t polled = writeRealtime(link, &kStatusQueryByte, 1);
        if (polled != KORVANE_SUCCESS) return polled;
        const Deadline poll(kRestPollMs);
        Reply reply;
        while (readReply(link, poll.remaining(), &reply)) {
            if (reply.parsed) lastReport = tickCount32();
            if (reply.parsed && !wire.restPending()) break;
        }
        link.pauseIo(1);
    }
}

std::int32_t prepareForLine(Link& link, std::uint32_t timeoutMs, const KeepGoing& keepGoing) {
    if (!link.isConnected()) return KORVANE_NOT_CONNECTED;
    Wire& wire = link.wire();
    if (wire.restPending()) {
        const std::int32_t rest = confirmRest(link, false, keepGoing);
        if (rest != KORVANE_SUCCESS) return rest;
    }
    // A line read the moment a deceleration has ended starts a jog whose cancel would land
    // at that moment too, which leaves some controllers deaf to lines until a resume: the
    // line waits a little after the machine was seen to rest.
    std::uint32_t restTick = 0;
    if (wire.restSeenAt(&restTick)) {
        const std::uint32_t settle = remainingMs(restTick, kSettleAfterRestMs, tickCount32());
        if (settle > 0) link.pauseIo(settle);
    }
    // Replies already late are awaited for the command's own limit, or for as long as this
    // controller has been seen to take (twice its slowest reply and a margin), whichever is
    // longer: a reply not in by then is lost, and forgetting it is safe. Forgetting one that
    // is merely slow would let it pass for a later command's verdict.
    const std::uint32_t start = tickCount32();
    auto waitLimit = [&wire, timeoutMs] {
        std::uint32_t paced = 2 * wire.slowestReplyMs() + kLateReplyMarginMs;
        if (paced > kEarlierRepliesCapMs) paced = kEarlierRepliesCapMs;
        return paced > timeoutMs ? paced : timeoutMs;
    };
    Reply reply;
    while (wire.owesReplies()) {
        if (keepGoing && !keepGoing()) return kRestAbandoned;
        const std::uint32_t left = remainingMs(start, waitLimit(), tickCount32());
        if (left == 0) {
            if (wire.owesOnlyUncertain()) {
                wire.writeOffUncertain();
                continue;
            }
            // Replies still coming in are late, not lost: they stay owed, so that none of
            // them can pass for a later command's verdict. Only a line quiet for longer than
            // any reply has taken (and kLostReplyQuietMs at least) has lost them, and the
            // account starts afresh.
            std::uint32_t lastReply = 0;
            const bool replied = wire.lastReplyAt(&lastReply);
            const std::uint32_t quietLimit =
                waitLimit() > kLostReplyQuietMs ? waitLimit() : kLostReplyQuietMs;
            if (!replied || elapsedMs(lastReply, tickCount32()) >= quietLimit) {
                wire.writeOffAll();
            }
            link.setLastError("Controller out of step: replies to earlier commands never came");
            return KORVANE_TIMEOUT;
        }
        readReply(link, left < kByteWaitMs ? left : kByteWaitMs, &reply);
    }
    bookWaitingInput(link);
    return KORVANE_SUCCESS;
}

Verdict awaitVerdict(Link& link, std::uint64_t line, std::uint32_t timeoutMs,
                     const KeepGoing& keepGoing) {
    const Deadline deadline(timeoutMs);
    Reply reply;
    for (;;) {
        if (keepGoing && !keepGoing()) return Verdict::Abandoned;
        const std::uint32_t left = deadline.remaining();
        if (left == 0) return Verdict::NoReply;
        // Short reads, so that a stop asked for meanwhile is seen soon.
        if (!readReply(link, keepGoing && left > kByteWaitMs ? kByteWaitMs : left, &reply)) {
            continue;
        }
        if (reply.paid.surplus || reply.paid.line != line || !reply.paid.first) continue;
        if (reply.kind == ReplyKind::Ok) return Verdict::Accepted;
        clearLatchedError(link);
        return Verdict::Refused;
    }
}

std::int32_t exchange(Link& link, const char* command, StatusReport* report,
                      std::uint32_t timeoutMs, LineKind kind) {
    if (isQuery(command)) return queryOnce(link, report, timeoutMs);
    const std::int32_t ready = prepareForLine(link, timeoutMs);
    if (ready != KORVANE_SUCCESS) return ready;
    std::uint64_t line = 0;
    const std::int32_t sent = sendCommand(link, command, kind, &line);
    if (sent != KORVANE_SUCCESS) return sent;
    switch (awaitVerdict(link, line, timeoutMs)) {
        case Verdict::Accepted:
            return queryOnce(link, report, kStatusQueryTimeoutMs);
        case Verdict::Refused:
            link.setLastError("Firmware error: %s",
                              ExplainedLine(link.pendingLine().line()).c_str());
            return KORVANE_FIRMWARE_ERROR;
        case Verdict::NoReply:
        case Verdict::Abandoned:
            break;
    }
    link.setLastError("Timeout waiting for response");
    return KORVANE_TIMEOUT;
}

bool continueLine(Link& link, LineAssembler& line, std::uint32_t timeoutMs) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        const std::uint32_t left = deadline.remaining();
        if (left == 0) return false;
        unsigned char byte = 0;
        if (readOneByte(link, &byte, left < kByteWaitMs ? left : kByteWaitMs) && line.push(byte)) {
            return true;
        }
    }
}

bool readLine(Link& link, char* buffer, std::size_t size, std::uint32_t timeoutMs) {
    if (buffer == nullptr || size == 0) return false;
    LineAssembler line(size);
    if (!continueLine(link, line, timeoutMs)) return false;
    std::memcpy(buffer, line.line(), line.length() + 1);
    return true;
}

}  // namespace korvane
