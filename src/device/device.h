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
    // Ends velocity mode: the jog cancel when the worker still runs, then the controller,
    // running or ended, is joined and discarded. 4 when the jog cancel could not be written.
    std::int32_t stopVelocity();
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

  private:
    std::int32_t stopVelocityLocked();

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
