#include "device/device.h"

#include <cstdarg>
#include <cstring>
#include <new>

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

void Device::copyLastError(char* out) {
    std::lock_guard<std::mutex> lock(errorMutex);
    const std::size_t length = strnlen(lastError, kErrorTextSize - 1);
    std::memcpy(out, lastError, length);
    std::memset(out + length, 0, kErrorTextSize - length);
}

void Device::storeStatus(const StatusReport& report) {
    std::lock_guard<std::mutex> lock(statusMutex);
    cachedStatus = report;
    statusValid = true;
}

bool Device::cachedState(std::int32_t* state) {
    std::lock_guard<std::mutex> lock(statusMutex);
    if (!statusValid) return false;
    *state = cachedStatus.state;
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
    if (static_cast<std::uint32_t>(axis) > 5u) return KORVANE_INVALID_ARGUMENT;
    const float magnitude = rate < 0.0f ? -rate : rate;
    // NaN, infinity and magnitudes without a 32-bit feed word are refused like too small ones.
    if (!(magnitude >= VelocityController::kMinimumVelocity) || !(magnitude < 2147483648.0f)) {
        return KORVANE_INVALID_ARGUMENT;
    }

    std::lock_guard<std::mutex> slot(velocityMutex);
    if (velocity && velocity->isRunning() && velocity->axis() == axis) {
        velocity->setTargetVelocity(rate);
        return KORVANE_SUCCESS;
    }
    // An axis switch, or a restart after the worker ended: the old line may still run, and a
    // new one would queue behind it. The start goes on even when the jog cancel failed.
    stopVelocityLocked();

    std::unique_ptr<VelocityController> fresh(new (std::nothrow) VelocityController(axis, rate));
    if (!fresh) {
        setLastError("Failed to start velocity thread");
        return KORVANE_RESOURCE_FAILURE;
    }
    // Replacing the slot destroys an ended controller: its finished worker is joined.
    velocity = std::move(fresh);
    VelocityController* controller = velocity.get();
    velocity->installCallbacks(
        [this, controller](const char* line, bool cancelFirst) {
            std::lock_guard<std::mutex> io(ioMutex);
            if (!controller->isRunning()) return false;
            if (cancelFirst && !writeJogCancelLocked()) return false;
            settleTrailingOk(*this);
            // The cancel and the settling may have waited: a stop asked for meanwhile wins.
            if (!controller->isRunning()) return false;
            port.purgeInput();
            if (!port.writeLine(line)) return false;
            // Waiting for the "ok" under the lock means that a stop, which needs the lock,
            // never overtakes a line the controller has not read yet. It also keeps the
            // line's reply from being taken for the answer to a later command.
            velocityLineUnconfirmed =
                awaitLineReply(*this, kVelocityReplyTimeoutMs) == LineReply::NoReply;
            noteLineSettled(*this);
            return true;
        },
        [this](std::int32_t* state) { return cachedState(state); });
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
    // The flag is cleared before the lock is taken, and the worker tests it under the lock
    // before each line, so the jog cancel is the last thing velocity mode writes.
    velocity->requestStop();
    std::int32_t result = KORVANE_SUCCESS;
    {
        std::lock_guard<std::mutex> io(ioMutex);
        if (hold) result = writeRealtimeLocked('!');
        if (result == KORVANE_SUCCESS && !writeJogCancelLocked()) {
            setLastError("Serial write failed for jog cancel");
            result = KORVANE_WRITE_FAILED;
        }
    }
    // The join happens without ioMutex: the worker may be waiting for it in sendLine.
    velocity->stop();
    velocity.reset();
    return result;
}

std::int32_t Device::writeRealtimeLocked(unsigned char byte) {
    if (!connected.load()) return KORVANE_NOT_CONNECTED;
    if (port.writeRaw(&byte, 1)) return KORVANE_SUCCESS;
    setLastError("Serial write failed");
    return KORVANE_WRITE_FAILED;
}

bool Device::writeJogCancelLocked() {
    const unsigned char jogCancel = 0x85;
    if (!port.writeRaw(&jogCancel, 1)) return false;
    if (!velocityLineUnconfirmed) return true;
    velocityLineUnconfirmed = false;
    awaitLineReply(*this, kVelocityReplyTimeoutMs);
    noteLineSettled(*this);
    return port.writeRaw(&jogCancel, 1);
}

}  // namespace korvane
