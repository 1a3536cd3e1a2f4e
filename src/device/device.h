// The connection object behind every DeviceHandle.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "korvane/korvane.h"
#include "platform/thread_error_buffer.h"
#include "protocol/link.h"
#include "protocol/status_report.h"
#include "serial/serial_port.h"
#include "velocity/velocity_controller.h"

namespace korvane {

// Lock order, where more than one is held: velocityMutex, then ioMutex, then statusMutex.
// errorMutex is taken alone, for a copy in or out of lastError.
class Device final : public Link {
  public:
    Device() = default;
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
    void storeStatus(const StatusReport& report) override;

    // Copies the last-error text into out (kErrorTextSize bytes): at most 255 characters,
    // zero-padded, the last byte zero.
    void copyLastError(char* out);
    // The state of the most recent status report; false when none has been stored.
    bool cachedState(std::int32_t* state);

    // Velocity mode. The slot is guarded by velocityMutex, so that a host that overlaps
    // starts, stops and the refusing exports cannot pull a controller away under a reader.
    std::int32_t startVelocity(std::int32_t axis, float rate);
    // Ends velocity mode: the jog cancel whenever a controller is in the slot, running or
    // ended (its last line may still run on the machine), then the controller is joined and
    // discarded. 4 when the jog cancel could not be written.
    std::int32_t stopVelocity();
    // The feed hold while a velocity controller is in the slot: writes "!" and ends velocity
    // mode like stopVelocity, since the controller ends a held jog for good and the worker
    // would otherwise start it again. False, with nothing done, when the slot is empty.
    bool holdVelocity(std::int32_t* result);
    // Writes one real-time byte: 0, 1 when not connected, 4 ("Serial write failed").
    // The caller holds ioMutex.
    std::int32_t writeRealtimeLocked(unsigned char byte);
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

    // How long the worker waits for the controller to take a jog line.
    static constexpr std::uint32_t kVelocityReplyTimeoutMs = 500;

  private:
    std::int32_t stopVelocityLocked();
    // Ends the velocity mode of the controller in the slot: the worker is told to stop, the
    // hold byte goes out first when hold is set, then the jog cancel; the controller is
    // joined and discarded whatever the writes did. The caller holds velocityMutex.
    std::int32_t endVelocityLocked(bool hold);
    // Writes the jog cancel so that it cannot be lost. The controller acts on the byte at once
    // but reads a line only when it gets to it, and a cancel that overtakes a jog line still
    // waiting in its input does nothing: the line starts afterwards. The worker waits for the
    // "ok" to each of its lines, so a line it wrote is normally known to be taken; when that
    // "ok" did not come, this waits for it once more and then writes the cancel again.
    // The caller holds ioMutex. False when a write failed.
    bool writeJogCancelLocked();

    std::mutex errorMutex;
    char lastError[kErrorTextSize] = {};
    std::mutex velocityMutex;
    std::unique_ptr<VelocityController> velocity;
    // The worker's last line got no answer in time, so it may still be waiting unread in the
    // controller's input. Guarded by ioMutex.
    bool velocityLineUnconfirmed = false;
};

// The Device behind a handle.
inline Device* toDevice(DeviceHandle handle) {
    return reinterpret_cast<Device*>(handle);
}
inline DeviceHandle toHandle(Device* device) {
    return reinterpret_cast<DeviceHandle>(device);
}

}  // namespace korvane
