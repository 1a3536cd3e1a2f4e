// Jogs, per-axis settings and the stop commands.
#include <initializer_list>

#include "arguments/argument_rules.h"

#include "device/device.h"
#include "korvane/korvane.h"
#include "protocol/exchange.h"
#include "protocol/numbers.h"
#include "velocity/jog_line.h"

using namespace korvane;

namespace {

constexpr std::uint32_t kJogTimeoutMs = 500;
constexpr std::uint32_t kSettingTimeoutMs = 2000;
constexpr std::uint32_t kEmergencyStopTimeoutMs = 1000;
constexpr std::size_t kCommandSize = 128;

// The checks every motion and settings command makes before any traffic, in their order:
// null handle, velocity mode, axis. Returns 0 when the command may go on.
std::int32_t checkCommand(DeviceHandle handle, std::int32_t axis) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    Device* device = toDevice(handle);
    if (device->refuseInVelocityMode()) return KORVANE_VELOCITY_ACTIVE;
    if (!rules::acceptsAxis(axis)) return device->refuseArgument(rules::kAxis, std::int64_t{axis});
    return KORVANE_SUCCESS;
}

// One float argument and its rule; a command checks them in the order of its parameters.
struct Checked {
    const rules::Rule& rule;
    float value;
    bool accepted;
};

// The first refused argument's result 8 and message, or 0 when all are accepted.
std::int32_t checkValues(Device* device, std::initializer_list<Checked> values) {
    for (const Checked& checked : values) {
        if (!checked.accepted) return device->refuseArgument(checked.rule, checked.value);
    }
    return KORVANE_SUCCESS;
}

std::int32_t runLocked(Device* device, const char* command, std::uint32_t timeoutMs,
                       LineKind kind) {
    std::lock_guard<std::mutex> io(device->ioMutex);
    StatusReport report;
    return exchange(*device, command, &report, timeoutMs, kind);
}

// One single-line motion or settings command: the shared checks, then the command's own
// value test, then the line formatted from format and args and exchanged.
template <typename... Args>
std::int32_t runCommand(DeviceHandle handle, std::int32_t axis,
                        std::initializer_list<Checked> values, std::uint32_t timeoutMs,
                        LineKind kind, const char* format, Args... args) {
    const std::int32_t checked = checkCommand(handle, axis);
    if (checked != KORVANE_SUCCESS) return checked;
    const std::int32_t valued = checkValues(toDevice(handle), values);
    if (valued != KORVANE_SUCCESS) return valued;
    char command[kCommandSize];
    formatCommand(command, sizeof command, format, axisLetter(axis), args...);
    return runLocked(toDevice(handle), command, timeoutMs, kind);
}

// The bytes that stop whatever moves, in one write and without waiting for any call in
// progress: the jog cancel first when a jog may run (it ends the jog and drops the queued
// ones on every controller; some ignore a hold while jogging), then the hold (program motion
// slows down and holds), then a status query whose report is the first taken after them.
std::size_t composeStopBytes(Device* device, bool hold, unsigned char* bytes, bool* cancel) {
    std::size_t count = 0;
    *cancel = device->wire().jogMayRun();
    if (*cancel) bytes[count++] = kJogCancelByte;
    if (hold) bytes[count++] = kFeedHoldByte;
    if (*cancel) bytes[count++] = kStatusQueryByte;
    return count;
}

}  // namespace

extern "C" {

KORVANE_API ResultCode KORVANE_CALL Korvane_JogAbs(DeviceHandle handle, int32_t axis,
                                                   float position, float feed) {
    return runCommand(handle, axis,
                      {{rules::kPosition, position, rules::acceptsFinite(position)},
                       {rules::kFeed, feed, rules::acceptsFeed(feed)}},
                      kJogTimeoutMs, LineKind::Jog, "$J=G90 %c%f F%d",
                      static_cast<double>(position), static_cast<std::int32_t>(feed));
}

KORVANE_API ResultCode KORVANE_CALL Korvane_JogRel(DeviceHandle handle, int32_t axis,
                                                   float distance, float feed) {
    return runCommand(handle, axis,
                      {{rules::kDistance, distance, rules::acceptsFinite(distance)},
                       {rules::kFeed, feed, rules::acceptsFeed(feed)}},
                      kJogTimeoutMs, LineKind::Jog, "$J=G91 %c%f F%d",
                      static_cast<double>(distance), static_cast<std::int32_t>(feed));
}

KORVANE_API ResultCode KORVANE_CALL Korvane_SetPos(DeviceHandle handle, int32_t axis,
                                                   float position) {
    return runCommand(handle, axis, {{rules::kPosition, position, rules::acceptsFinite(position)}},
                      kSettingTimeoutMs, LineKind::Setting, "$MPos=%c%f",
                      static_cast<double>(position));
}

KORVANE_API ResultCode KORVANE_CALL Korvane_SetAcceleration(DeviceHandle handle, int32_t axis,
                                                            float acceleration) {
    return runCommand(
        handle, axis,
        {{rules::kAcceleration, acceleration, rules::acceptsAcceleration(acceleration)}},
        kSettingTimeoutMs, LineKind::Setting, "$axes/%c/acceleration_mm_per_sec2=%f",
        static_cast<double>(acceleration));
}

KORVANE_API ResultCode KORVANE_CALL Korvane_EnableSoftLimits(DeviceHandle handle, int32_t axis,
                                                             int32_t enable) {
    return runCommand(handle, axis, {}, kSettingTimeoutMs, LineKind::Setting,
                      "$axes/%c/soft_limits=%s", enable != 0 ? "true" : "false");
}

KORVANE_API ResultCode KORVANE_CALL Korvane_SetSoftLimitRange(DeviceHandle handle, int32_t axis,
                                                              float maxTravel,
                                                              float homingPosition) {
    const std::int32_t checked = checkCommand(handle, axis);
    if (checked != KORVANE_SUCCESS) return checked;
    Device* device = toDevice(handle);
    const std::int32_t valued = checkValues(
        device, {{rules::kMaxTravel, maxTravel, rules::acceptsFinite(maxTravel)},
                 {rules::kHomingPosition, homingPosition, rules::acceptsFinite(homingPosition)}});
    if (valued != KORVANE_SUCCESS) return valued;
    // Both lines under one hold of the lock: no other traffic falls between them.
    std::lock_guard<std::mutex> io(device->ioMutex);
    char command[kCommandSize];
    StatusReport report;
    formatCommand(command, sizeof command, "$axes/%c/max_travel_mm=%f", axisLetter(axis),
                  static_cast<double>(maxTravel));
    const std::int32_t first = exchange(*device, command, &report, kSettingTimeoutMs);
    if (first != KORVANE_SUCCESS) return first;
    formatCommand(command, sizeof command, "$axes/%c/homing/mpos_mm=%f", axisLetter(axis),
                  static_cast<double>(homingPosition));
    return exchange(*device, command, &report, kSettingTimeoutMs);
}

KORVANE_API ResultCode KORVANE_CALL Korvane_EmergencyStop(DeviceHandle handle) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    Device* device = toDevice(handle);
    // First what stops any controller of the family at once: "$ES" is unknown to some and
    // an ordinary command to others, and a line is read only once the machine stands.
    unsigned char bytes[3];
    bool cancel = false;
    std::size_t count = composeStopBytes(device, true, bytes, &cancel);
    if (!cancel) bytes[count++] = kStatusQueryByte;
    if (!device->isConnected()) return KORVANE_NOT_CONNECTED;
    if (!device->wire().writeRealtime(bytes, count)) {
        device->setLastError(cancel ? "Serial write failed for jog cancel" : "Serial write failed");
        device->stopVelocity();
        return KORVANE_WRITE_FAILED;
    }
    // Velocity mode ends; a refusal it kept is of no interest to an emergency stop.
    device->stopVelocity();
    std::lock_guard<std::mutex> io(device->ioMutex);
    const std::int32_t stopped = confirmRest(*device, true);
    if (stopped != KORVANE_SUCCESS) return stopped;
    // A report taken after the stop bytes, also when no jog needed confirming: the result
    // says that the controller was seen after the stop, not merely that bytes were written.
    StatusReport seen;
    const std::int32_t answered = exchange(*device, "?", &seen, kStatusQueryTimeoutMs);
    if (answered != KORVANE_SUCCESS) return answered;
    // The machine stands; "$ES" puts a controller that knows it into its emergency state. Its
    // refusal, or an "ok" from a controller that takes it for something else, changes
    // nothing of the stop that the real-time bytes made and the reports confirmed.
    StatusReport report;
    exchange(*device, "$ES", &report, kEmergencyStopTimeoutMs, LineKind::Motion);
    return KORVANE_SUCCESS;
}

KORVANE_API ResultCode KORVANE_CALL Korvane_FeedHold(DeviceHandle handle) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    Device* device = toDevice(handle);
    // In velocity mode the hold is always written, and it ends velocity mode: the worker
    // would otherwise start again the jog the hold ended.
    std::int32_t result = KORVANE_SUCCESS;
    if (device->holdVelocity(&result)) return result;
    // Only a machine seen Idle in a report taken after the last motion command has nothing
    // to hold; a report from before it says nothing about the motion now.
    std::int32_t state = KORVANE_STATE_UNKNOWN;
    bool fresh = false;
    const bool known = device->cachedState(&state, &fresh);
    if (known && fresh && state == KORVANE_STATE_IDLE && !device->wire().jogMayRun()) {
        return KORVANE_SUCCESS;
    }
    unsigned char bytes[3];
    bool cancel = false;
    const std::size_t count = composeStopBytes(device, true, bytes, &cancel);
    return writeRealtime(*device, bytes, count);
}

KORVANE_API ResultCode KORVANE_CALL Korvane_Resume(DeviceHandle handle) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    return writeRealtime(*toDevice(handle), &kResumeByte, 1);
}

}  // extern "C"
