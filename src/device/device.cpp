#include "device/device.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/clock.h"
#include "protocol/controller_codes.h"
#include "protocol/exchange.h"
#include "protocol/numbers.h"

namespace korvane {

Device::~Device() {
    if (connected.load()) {
        {
            std::lock_guard<std::mutex> slot(velocityMutex);
            stopVelocityLocked();
        }
        connected.store(false);
        port.close();
    }
    // An ended controller still holds a finished worker: join and free it before the port
    // and the locks it points at go away.
    velocity.reset();
    port.close();
}

void Device::setLastError(const char* format, ...) {
    char text[kErrorTextSize];
    va_list args;
    va_start(args, format);
    vformatCommand(text, sizeof text, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(errorMutex);
    std::memcpy(lastError, text, sizeof lastError);
}

std::int32_t Device::refuseArgument(const rules::Rule& rule, float value) {
    char text[rules::kRefusalSize];
    rules::formatRefusal(text, sizeof text, rule, value);
    setLastError("%s", text);
    return KORVANE_INVALID_ARGUMENT;
}

std::int32_t Device::refuseArgument(const rules::Rule& rule, std::int64_t value) {
    char text[rules::kRefusalSize];
    rules::formatRefusal(text, sizeof text, rule, value);
    setLastError("%s", text);
    return KORVANE_INVALID_ARGUMENT;
}

std::int32_t Device::refuseNull(const char* name) {
    char text[rules::kRefusalSize];
    rules::formatRefusal(text, sizeof text, name, "null", rules::kNonNull);
    setLastError("%s", text);
    return KORVANE_INVALID_ARGUMENT;
}

void Device::copyLastError(char* out) {
    std::lock_guard<std::mutex> lock(errorMutex);
    const std::size_t length = strnlen(lastError, kErrorTextSize - 1);
    std::memcpy(out, lastError, length);
    std::memset(out + length, 0, kErrorTextSize - length);
}

void Device::storeStatus(const StatusReport& report, std::uint64_t freshness) {
    std::lock_guard<std::mutex> lock(statusMutex);
    cachedStatus = report;
    statusValid = true;
    cachedFreshness = freshness;
}

void Device::pauseIo(std::uint32_t ms) {
    ioMutex.unlock();
    sleepMs(ms);
    ioMutex.lock();
}

bool Device::cachedState(std::int32_t* state, bool* fresh) {
    const std::uint64_t epoch = wire().epoch();
    std::lock_guard<std::mutex> lock(statusMutex);
    if (!statusValid) return false;
    *state = cachedStatus.state;
    if (fresh != nullptr) *fresh = cachedFreshness != 0 && cachedFreshness == epoch;
    return true;
}

bool Device::velocityActive() {
    std::lock_guard<std::mutex> slot(velocityMutex);
    return velocity && velocity->isRunning();
}

bool Device::refuseInVelocityMode() {
    if (!velocityActive()) return false;
    setLastError("Velocity mode is active; stop it first");
    return true;
}

std::int32_t Device::startVelocity(std::int32_t axis, float rate) {
    if (!connected.load()) return KORVANE_NOT_CONNECTED;
    if (!rules::acceptsAxis(axis)) return refuseArgument(rules::kAxis, std::int64_t{axis});
    // NaN, infinity and magnitudes without a 32-bit feed word are refused like too small ones.
    if (!rules::acceptsVelocity(rate)) return refuseArgument(rules::kVelocity, rate);

    std::lock_guard<std::mutex> slot(velocityMutex);
    if (velocity && velocity->isRunning() && velocity->axis() == axis) {
        velocity->setTargetVelocity(rate);
        return KORVANE_SUCCESS;
    }
    // An axis switch, or a restart after the worker ended: the old jog is ended and confirmed
    // first, since a new line would queue behind it. A refusal that ended the old worker is
    // reported here instead of starting again into the same refusal.
    if (stopVelocityLocked() == KORVANE_FIRMWARE_ERROR) return KORVANE_FIRMWARE_ERROR;

    std::unique_ptr<VelocityController> fresh(new (std::nothrow) VelocityController(axis, rate));
    if (!fresh) {
        setLastError("Failed to start velocity thread");
        return KORVANE_RESOURCE_FAILURE;
    }
    velocity = std::move(fresh);
    VelocityController* controller = velocity.get();
    velocity->installCallbacks(
        [this, controller](const char* line, bool cancelFirst, char* refusal) {
            using Sent = VelocityController::Sent;
            std::lock_guard<std::mutex> io(ioMutex);
            const KeepGoing keepGoing = [controller] { return controller->isRunning(); };
            if (!keepGoing()) return Sent::Stopped;
            if (cancelFirst && wire().jogMayRun()) {
                const unsigned char stop[] = {kJogCancelByte, kStatusQueryByte};
                if (!wire().writeRealtime(stop, sizeof stop)) return Sent::Failed;
            }
            // No line while the machine slows down from a cancel: the controller would read
            // it only once it stands, and run it after whatever stop came meanwhile.
            const std::int32_t ready = prepareForLine(*this, kVelocityReplyTimeoutMs, keepGoing);
            if (ready == kRestAbandoned || !keepGoing()) return Sent::Stopped;
            if (ready != KORVANE_SUCCESS) return Sent::Failed;
            // The stop flag is tested under the write lock: a stop that comes between the test
            // above and this write still finds the line in the account and cancels it.
            const std::uint64_t id = wire().writeLine(line, LineKind::Jog, keepGoing);
            if (id == 0) return keepGoing() ? Sent::Failed : Sent::Stopped;
            // The verdict is read here so that a refusal is seen; a stop asked for meanwhile
            // takes the wait over (its cancel is already on the wire).
            switch (awaitVerdict(*this, id, kVelocityReplyTimeoutMs, keepGoing)) {
                case Verdict::Refused:
                    std::snprintf(refusal, VelocityController::kRefusalSize, "%.*s",
                                  static_cast<int>(VelocityController::kRefusalSize - 1),
                                  pendingLine().line());
                    return Sent::Refused;
                case Verdict::Abandoned:
                    return Sent::Stopped;
                case Verdict::Accepted:
                case Verdict::NoReply:
                    break;
            }
            return Sent::Taken;
        },
        [this](std::int32_t* state, bool* isFresh) { return cachedState(state, isFresh); });
    if (!velocity->start()) {
        setLastError("Failed to start velocity thread");
        return KORVANE_RESOURCE_FAILURE;
    }
    return KORVANE_SUCCESS;
}

std::int32_t Device::stopVelocity() {
    std::lock_guard<std::mutex> slot(velocityMutex);
    return stopVelocityLocked();
}

std::int32_t Device::stopVelocityLocked() {
    if (!velocity) return KORVANE_SUCCESS;
    return endVelocityLocked(false);
}

bool Device::holdVelocity(std::int32_t* result) {
    std::lock_guard<std::mutex> slot(velocityMutex);
    if (!velocity) return false;
    *result = endVelocityLocked(true);
    return true;
}

std::int32_t Device::endVelocityLocked(bool hold) {
    // The flag is cleared first: the worker tests it before each line and during its waits.
    velocity->requestStop();
    std::int32_t result = KORVANE_SUCCESS;
    if (connected.load()) {
        // No cancel when none is needed: every jog written has been ended by a cancel already
        // (the worker's rate change, say), and a second one could hit the end of that
        // deceleration, which leaves some controllers deaf to lines until a resume.
        unsigned char bytes[3];
        std::size_t count = 0;
        const bool cancel = wire().jogMayRun();
        if (cancel) bytes[count++] = kJogCancelByte;
        if (hold) bytes[count++] = kFeedHoldByte;
        if (count > 0) {
            bytes[count++] = kStatusQueryByte;
            if (!wire().writeRealtime(bytes, count)) {
                setLastError(cancel ? "Serial write failed for jog cancel" : "Serial write failed");
                result = KORVANE_WRITE_FAILED;
            }
        }
    }
    // The join happens without ioMutex: the worker may be waiting for it in sendLine.
    velocity->stop();
    char refusal[VelocityController::kRefusalSize];
    std::snprintf(refusal, sizeof refusal, "%s", velocity->refusal());
    velocity.reset();
    if (result == KORVANE_SUCCESS && connected.load()) {
        std::lock_guard<std::mutex> io(ioMutex);
        result = confirmRest(*this, true);
    }
    if (refusal[0] != '\0' && result == KORVANE_SUCCESS) {
        setLastError("Firmware error: %s", ExplainedLine(refusal).c_str());
        result = KORVANE_FIRMWARE_ERROR;
    }
    return result;
}

}  // namespace korvane
