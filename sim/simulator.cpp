#include "simulator.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "input_splitter.h"
#include "machine_model.h"
#include "output_queue.h"
#include "pty_device.h"
#include "wire_format.h"

namespace korvane::sim {

namespace {

using Clock = std::chrono::steady_clock;

// The longest the serving thread sleeps: bounds how late stop() is noticed and how late a
// homing cycle's end is printed when nobody asks.
constexpr int kPollMs = 10;
// Recorded command lines kept for introspection; older ones are forgotten.
constexpr std::size_t kMaxRecordedLines = 100000;

std::string realtimeName(unsigned char byte) {
    switch (byte) {
        case '?':
            return "? (status query)";
        case '!':
            return "! (feed hold)";
        case '~':
            return "~ (resume)";
        case 0x85:
            return "0x85 (jog cancel)";
        case 0x18:
            return "0x18 (soft reset)";
        default:
            return "real-time byte";
    }
}

}  // namespace

struct Simulator::Impl {
    explicit Impl(SimOptions opts)
        : options(std::move(opts)), startTime(Clock::now()), model(options.uuid, startTime) {
        model.setHomingDuration(std::chrono::milliseconds(options.homingDurationMs));
        model.setHomingFails(options.homingFails);
        model.setQuietHoming(options.quietHoming);
        model.setDeafAfterLateCancel(options.deafAfterLateCancel);
        model.setHoldIgnoredWhileJogging(options.holdIgnoredWhileJogging);
        model.setLatchErrors(options.latchErrors);
        splitter.setCrLfTwoLineEnds(options.okOnEmptyLine);
        output.setLatency(std::chrono::milliseconds(options.replyLatencyMs));
        output.setBytesPerSecond(options.outputBytesPerSecond);
        output.setDropEveryNth(options.dropEveryNthReply);
        silent = options.silent;
        parseDelay = std::chrono::milliseconds(std::max(options.lineParseDelayMs, 0));
        esUnknown = options.esUnknown;
        esListsSettings = options.esListsSettings;
        updateEmergencyStopLine();
        cancelDiscardsInput = options.cancelDiscardsInput;
    }

    void serve();
    void handleInput(const unsigned char* bytes, std::size_t count, Clock::time_point now);
    // The caller holds mutex for these three.
    void queueReply(const std::vector<std::string>& lines, Clock::time_point now, bool counted);
    void queueUnsolicited(Clock::time_point now);
    void flushOutput(Clock::time_point now);
    // Reads the lines whose time has come, in the order they arrived.
    void parseDueLines(Clock::time_point now);
    // When the oldest unread line will be read: the parse delay after it arrived or after the
    // line before it was read, and not before a jog deceleration has ended. None when there
    // is no line or the machine is deaf (only input can change that).
    std::optional<Clock::time_point> nextLineRead(Clock::time_point now);
    // When a line that arrived now is due: the parse delay after it arrived, or after the
    // line before it is due, whichever is later.
    Clock::time_point lineDue(Clock::time_point now) {
        lastLineDue = std::max(now, lastLineDue) + parseDelay;
        return lastLineDue;
    }
    // Once the boot time is over: the banner, and input is taken from then on.
    void finishBoot(Clock::time_point now);
    void updateEmergencyStopLine() {
        model.setEmergencyStopLine(esUnknown         ? EmergencyStopLine::Unknown
                                   : esListsSettings ? EmergencyStopLine::ListsSettings
                                                     : EmergencyStopLine::Stops);
    }
    void log(const std::string& text, Clock::time_point now);

    const SimOptions options;
    const Clock::time_point startTime;
    PtyDevice pty;
    std::string devicePath;
    std::string error;
    std::thread thread;
    std::atomic<bool> stopRequested{false};

    mutable std::mutex mutex;  // guards everything below
    InputSplitter splitter;
    MachineModel model;
    OutputQueue output;
    bool silent = false;
    bool outputBlocked = false;  // the host's input buffer is full
    Clock::duration parseDelay{};
    bool esUnknown = false;
    bool esListsSettings = false;
    bool cancelDiscardsInput = false;
    bool booting = false;
    Clock::time_point bootEnd{};
    struct PendingLine {
        std::string text;
        bool overflow = false;
        Clock::time_point due;
    };
    std::deque<PendingLine> pendingLines;  // received, not read yet
    Clock::time_point lastLineDue{};       // lines are read one after another, each taking its time
    Clock::time_point nextReadEarliest{};  // a line held back delays the ones behind it
    std::vector<std::string> receivedLines;
    std::array<std::size_t, 256> realtimeCounts{};
    RealtimeObserver realtimeObserver;
};

void Simulator::Impl::serve() {
    unsigned char buffer[512];
    while (!stopRequested.load()) {
        int timeoutMs = kPollMs;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const Clock::time_point now = Clock::now();
            finishBoot(now);
            model.advance(now);
            parseDueLines(now);
            queueUnsolicited(now);
            flushOutput(now);
            if (const auto due = output.nextDue()) {
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - now);
                const int dueMs = static_cast<int>(std::max<long long>(wait.count(), 0));
                // A full host buffer is retried at the next tick rather than waited for with
                // POLLOUT: a host that never reads must not make this loop spin.
                timeoutMs = outputBlocked ? kPollMs : std::min(dueMs, kPollMs);
            }
            auto waitFor = [&](Clock::time_point when) {
                const auto wait = std::chrono::ceil<std::chrono::milliseconds>(when - now);
                timeoutMs =
                    std::min(timeoutMs, static_cast<int>(std::max<long long>(wait.count(), 0)));
            };
            if (const auto read = nextLineRead(now)) waitFor(*read);
            if (booting) waitFor(bootEnd);
        }
        pollfd p{pty.master(), POLLIN, 0};
        const int rc = poll(&p, 1, timeoutMs);
        if (rc <= 0) continue;  // time-out, or a signal
        if ((p.revents & POLLIN) != 0) {
            const ssize_t got = ::read(pty.master(), buffer, sizeof buffer);
            if (got > 0) {
                handleInput(buffer, static_cast<std::size_t>(got), Clock::now());
                continue;
            }
        }
        // Hang-up or an error without data: nothing to read, so do not spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

void Simulator::Impl::handleInput(const unsigned char* bytes, std::size_t count,
                                  Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    finishBoot(now);
    // Lines whose time came before these bytes are read first: a real-time byte among the
    // bytes must not act before them.
    parseDueLines(now);
    for (std::size_t i = 0; i < count; ++i) {
        InputSplitter::Event event = splitter.push(bytes[i]);
        // A booting controller loses what comes in; it is only recorded here.
        const bool ignored = silent || booting;
        switch (event.kind) {
            case InputSplitter::Event::Kind::None:
                break;
            case InputSplitter::Event::Kind::Realtime: {
                ++realtimeCounts[event.byte];
                if (realtimeObserver) realtimeObserver(event.byte, now);
                // Status queries come several times a second; logging them drowns the rest.
                if (event.byte != '?') log(realtimeName(event.byte), now);
                if (ignored) break;
                // At rest, such a controller's cancel empties its input buffer as well.
                if (event.byte == 0x85 && cancelDiscardsInput &&
                    model.snapshot(now).state == MachineState::Idle) {
                    pendingLines.clear();
                    splitter.discardPartialLine();
                }
                const std::vector<std::string> replies = model.executeRealtime(event.byte, now);
                queueUnsolicited(now);
                queueReply(replies, now, true);
                break;
            }
            case InputSplitter::Event::Kind::Line:
                if (!event.line.empty()) {
                    log(event.line, now);
                    if (receivedLines.size() >= kMaxRecordedLines) receivedLines.clear();
                    receivedLines.push_back(event.line);
                }
                if (ignored) break;
                pendingLines.push_back(PendingLine{std::move(event.line), false, lineDue(now)});
                break;
            case InputSplitter::Event::Kind::Overflow:
                log("(line too long)", now);
                if (ignored) break;
                pendingLines.push_back(PendingLine{{}, true, lineDue(now)});
                break;
        }
    }
    parseDueLines(now);
    flushOutput(now);
}

void Simulator::Impl::finishBoot(Clock::time_point now) {
    if (!booting || now < bootEnd) return;
    booting = false;
    // The bytes of a line cut by the end of the boot are half a line: the controller lost
    // the rest.
    splitter.discardPartialLine();
    if (!silent) queueReply({MachineModel::kBanner}, bootEnd, false);
}

std::optional<Clock::time_point> Simulator::Impl::nextLineRead(Clock::time_point now) {
    if (pendingLines.empty()) return std::nullopt;
    model.advance(now);
    if (model.deaf()) return std::nullopt;
    Clock::time_point read = std::max(pendingLines.front().due, nextReadEarliest);
    if (const auto end = model.decelerationEnd()) return std::max(read, *end);
    if (const auto end = model.lastDecelerationEnd()) read = std::max(read, *end);
    return read;
}

void Simulator::Impl::parseDueLines(Clock::time_point now) {
    for (;;) {
        const std::optional<Clock::time_point> read = nextLineRead(now);
        if (!read || *read > now) return;
        const PendingLine line = std::move(pendingLines.front());
        pendingLines.pop_front();
        // A line read late (after a deceleration, a deaf spell) delays the ones behind it,
        // which are read one parse delay after another as usual.
        nextReadEarliest = *read + (*read > line.due ? parseDelay : Clock::duration{});
        const std::vector<std::string> replies =
            line.overflow ? model.rejectOverlongLine(*read) : model.executeLine(line.text, *read);
        queueUnsolicited(*read);
        queueReply(replies, *read, true);
    }
}

void Simulator::Impl::queueReply(const std::vector<std::string>& lines, Clock::time_point now,
                                 bool counted) {
    if (lines.empty()) return;
    std::string reply;
    for (const std::string& line : lines) {
        reply += line;
        reply += "\r\n";
    }
    output.push(std::move(reply), now, counted);
}

void Simulator::Impl::queueUnsolicited(Clock::time_point now) {
    std::vector<std::string> lines = model.takeUnsolicited();
    if (silent) return;
    // Messages the machine prints by itself are not replies: dropping every Nth reply must
    // not count them, or the hostile option would hit unpredictable replies.
    queueReply(lines, now, false);
}

void Simulator::Impl::flushOutput(Clock::time_point now) {
    outputBlocked = false;
    for (;;) {
        const std::string_view bytes = output.ready(now);
        if (bytes.empty()) return;
        const ssize_t written = ::write(pty.master(), bytes.data(), bytes.size());
        if (written > 0) {
            output.consume(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        outputBlocked = true;  // EAGAIN: the host is not reading; keep the bytes for later
        return;
    }
}

void Simulator::Impl::log(const std::string& text, Clock::time_point now) {
    if (options.verboseLog == nullptr) return;
    const double seconds = std::chrono::duration<double>(now - startTime).count();
    const std::string line = "[" + formatFixed3(seconds) + "] " + text + "\n";
    std::fputs(line.c_str(), options.verboseLog);
    std::fflush(options.verboseLog);
}

Simulator::Simulator(SimOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() {
    stop();
}

bool Simulator::start() {
    if (impl_->thread.joinable()) return true;
    impl_->error.clear();
    if (!impl_->pty.open()) {
        impl_->error = impl_->pty.error();
        return false;
    }
    impl_->devicePath = impl_->pty.slavePath();
    impl_->stopRequested.store(false);
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->booting = impl_->options.bootMs > 0;
        impl_->bootEnd = Clock::now() + std::chrono::milliseconds(impl_->options.bootMs);
    }
    try {
        impl_->thread = std::thread(&Impl::serve, impl_.get());
    } catch (const std::system_error& e) {
        impl_->error = std::string("cannot start the serving thread: ") + e.what();
        impl_->pty.close();
        impl_->devicePath.clear();
        return false;
    }
    return true;
}

void Simulator::stop() {
    impl_->stopRequested.store(true);
    if (impl_->thread.joinable()) impl_->thread.join();
    impl_->pty.close();
    impl_->devicePath.clear();
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->output.clear();
}

bool Simulator::running() const {
    return impl_->thread.joinable();
}

const std::string& Simulator::devicePath() const {
    return impl_->devicePath;
}

std::wstring Simulator::devicePathWide() const {
    const std::string& path = impl_->devicePath;
    return std::wstring(path.begin(), path.end());  // pty paths are plain ASCII
}

const std::string& Simulator::error() const {
    return impl_->error;
}

MachineSnapshot Simulator::snapshot() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->model.snapshot(Clock::now());
}

MachineState Simulator::state() const {
    return snapshot().state;
}

std::array<double, kAxisCount> Simulator::positions() const {
    return snapshot().positions;
}

AxisSettings Simulator::axisSettings(int axis) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->model.axisSettings(axis);
}

std::vector<std::string> Simulator::receivedLines() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->receivedLines;
}

std::size_t Simulator::realtimeCount(unsigned char byte) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->realtimeCounts[byte];
}

void Simulator::clearReceived() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->receivedLines.clear();
    impl_->realtimeCounts.fill(0);
}

void Simulator::setRealtimeObserver(RealtimeObserver observer) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->realtimeObserver = std::move(observer);
}

void Simulator::setSilent(bool silent) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->silent = silent;
    if (silent) {
        impl_->output.clear();  // not even replies already on their way
        impl_->pendingLines.clear();
    }
}

void Simulator::setReplyLatencyMs(int ms) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->output.setLatency(std::chrono::milliseconds(std::max(ms, 0)));
}

void Simulator::setOutputBytesPerSecond(int bytesPerSecond) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->output.setBytesPerSecond(bytesPerSecond);
}

void Simulator::setDropEveryNthReply(int n) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->output.setDropEveryNth(n);
}

void Simulator::setHomingFails(bool fails) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.setHomingFails(fails);
}

void Simulator::setOkOnEmptyLine(bool ok) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->splitter.setCrLfTwoLineEnds(ok);
}

void Simulator::setLineParseDelayMs(int ms) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->parseDelay = std::chrono::milliseconds(std::max(ms, 0));
}

void Simulator::setDeafAfterLateCancel(bool deaf) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.setDeafAfterLateCancel(deaf);
}

void Simulator::setEsUnknown(bool unknown) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->esUnknown = unknown;
    impl_->updateEmergencyStopLine();
}

void Simulator::setEsListsSettings(bool lists) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->esListsSettings = lists;
    impl_->updateEmergencyStopLine();
}

void Simulator::setHoldIgnoredWhileJogging(bool ignored) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.setHoldIgnoredWhileJogging(ignored);
}

void Simulator::setLatchErrors(bool latch) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.setLatchErrors(latch);
}

void Simulator::setCancelDiscardsInput(bool discards) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->cancelDiscardsInput = discards;
}

std::size_t Simulator::jogsSinceLastCancel() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->model.jogsSinceLastCancel();
}

bool Simulator::deaf() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->model.deaf();
}

std::size_t Simulator::unreadLines() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->pendingLines.size();
}

void Simulator::setHomingDurationMs(int ms) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.setHomingDuration(std::chrono::milliseconds(std::max(ms, 0)));
}

void Simulator::forceAlarm() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.forceAlarm(Clock::now());
}

void Simulator::setDoorOpen(bool open) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.setDoorOpen(open, Clock::now());
}

void Simulator::setLimitPins(std::array<int, 4> pins) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->model.setLimitPins(pins);
}

}  // namespace korvane::sim
