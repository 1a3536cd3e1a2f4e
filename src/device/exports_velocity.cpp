// Starting and stopping velocity mode.
#include "device/device.h"
#include "korvane/korvane.h"

using namespace korvane;

extern "C" {

KORVANE_API ResultCode KORVANE_CALL Korvane_VelocityStart(DeviceHandle handle, int32_t axis,
                                                          float velocity) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    return toDevice(handle)->startVelocity(axis, velocity);
}

KORVANE_API ResultCode KORVANE_CALL Korvane_VelocityStop(DeviceHandle handle) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    return toDevice(handle)->stopVelocity();
}

}  // extern "C"
