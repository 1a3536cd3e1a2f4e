// The connection object behind every DeviceHandle.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "arguments/argument_rules.h"
#include "korvane/korvane.h"
#include "platform/thread_error_buffer.h"
#include "protocol/link.h"
#include "protocol/status_report.h"
#include "serial/serial_port.h"
#include "velocity/velocity_controller.h"

namespace korvane {

// Lock order, where more than one is held: velocityMutex, then ioMutex, then statusMutex.
// errorMutex is taken alone, for a copy in or out of lastError. The Wire's own lock is held
// for one write or one booking and nothing is taken under it.
class Device final : public Link {
  public:
    Device() : Link(port) {}
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Link
    SerialPort& serialPort() override { return port; }
    bool isConnected() const override { return connected.load(); }
    void setLastError(const char* format, ...) override
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    void storeStatus(const StatusReport& report, std::uint64_t freshness) override;
    // Lets other calls through for ms: the caller holds ioMutex (in a scoped guard, which
    // finds it held again when it releases it).
    void pauseIo(std::uint32_t ms) override;

    // Copies the last-error text into out (kErrorTextSize bytes): at most 255 characters,
    // zero-padded, the last byte zero.
    void copyLastError(char* out);
    // The state of the most recent status report; false when none has been stored. fresh
    // tells whether it was taken after the last motion line, cancel or hold was answered for.
    bool cachedState(std::int32_t* state, bool* fresh = nullptr);

    // Result 8, with the refusal of the argument as the message: the one wording the tool
    // prints for the same argument.
    std::int32_t refuseArgument(const rules::Rule& rule, float value);
    std::int32_t refuseArgument(const rules::Rule& rule, std::int64_t value);
    std::int32_t refuseNull(const char* name);

    // Velocity mode. The slot is guarded by velocityMutex, so that a host that overlaps
    // starts, stops and the refusing exports cannot pull a controller away under a reader.
    std::int32_t startVelocity(std::int32_t axis, float rate);
    // Ends velocity mode (see endVelocity): 0; 4 when a stop byte could not be written; 5
    // when no report confirmed the machine at rest; 7 when the controller had refused a jog
    // line of velocity mode since the last start or stop.
    std::int32_t stopVelocity();
    // The feed hold while a velocity controller is in the slot: ends velocity mode like
    // stopVelocity, with "!" after the cancel, since a controller ends a held jog for good
    // and the worker would otherwise start it again. False, with nothing done, when the slot
    // is empty.
    bool holdVelocity(std::int32_t* result);
    // Velocity mode is active: a controller is in the slot and its worker runs.
    bool velocityActive();
    // The shared refusal of motion and settings commands: sets the message and returns true
    // when velocity mode is active.
    bool refuseInVelocityMode();

    SerialPort port;
    std::atomic<bool> connected{false};
    std::mutex ioMutex;
    std::mutex statusMutex;
    StatusReport cachedStatus;
    bool statusValid = false;

    // How long the worker waits for the controller's verdict on a jog line.
    static constexpr std::uint32_t kVelocityReplyTimeoutMs = 500;

  private:
    std::int32_t stopVelocityLocked();
    // Ends the velocity mode of the controller in the slot. The worker is told to stop; the
    // stop bytes go out at once, without waiting for any call in progress (the jog cancel
    // when a jog may run, the hold when asked, and a status query); the worker is joined and
    // the controller discarded; then the machine is confirmed at rest (confirmRest): every
    // line the worker wrote has been answered, and one accepted after the cancel got a cancel
    // of its own. The caller holds velocityMutex.
    std::int32_t endVelocityLocked(bool hold);

    std::uint64_t cachedFreshness = 0;  // guarded by statusMutex
    std::mutex errorMutex;
    char lastError[kErrorTextSize] = {};
    std::mutex velocityMutex;
    std::unique_ptr<VelocityController> velocity;
};

// The Device behind a handle.
inline Device* toDevice(DeviceHandle handle) {
    return reinterpret_cast<Device*>(handle);
}
inline DeviceHandle toHandle(Device* device) {
    return reinterpret_cast<DeviceHandle>(device);
}

}  // namespace korvane
