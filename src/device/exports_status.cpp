// Status queries and the device UUID: each call asks the controller afresh.
#include <cstring>

#include "device/device.h"
#include "korvane/korvane.h"
#include "protocol/device_identity.h"
#include "protocol/exchange.h"

using namespace korvane;

namespace {

// One "?" exchange into a local report; the caller copies fields out only on success.
std::int32_t queryStatus(Device* device, StatusReport* report) {
    std::lock_guard<std::mutex> io(device->ioMutex);
    return exchange(*device, "?", report, kStatusQueryTimeoutMs);
}

}  // namespace

extern "C" {

KORVANE_API ResultCode KORVANE_CALL Korvane_GetState(DeviceHandle handle, int32_t* state) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    if (state == nullptr) return KORVANE_INVALID_ARGUMENT;
    StatusReport report;
    const std::int32_t result = queryStatus(toDevice(handle), &report);
    if (result == KORVANE_SUCCESS) *state = report.state;
    return result;
}

KORVANE_API ResultCode KORVANE_CALL Korvane_GetPosition(DeviceHandle handle, float* positions,
                                                        int32_t* count) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    if (positions == nullptr) return KORVANE_INVALID_ARGUMENT;
    StatusReport report;
    const std::int32_t result = queryStatus(toDevice(handle), &report);
    if (result == KORVANE_SUCCESS) {
        std::memcpy(positions, report.positions, sizeof report.positions);
        if (count != nullptr) *count = report.positionCount;
    }
    return result;
}

KORVANE_API ResultCode KORVANE_CALL Korvane_GetSpeed(DeviceHandle handle, float* feed) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    if (feed == nullptr) return KORVANE_INVALID_ARGUMENT;
    StatusReport report;
    const std::int32_t result = queryStatus(toDevice(handle), &report);
    if (result == KORVANE_SUCCESS) *feed = report.feed;
    return result;
}

KORVANE_API ResultCode KORVANE_CALL Korvane_GetLimits(DeviceHandle handle, int32_t* limits) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    if (limits == nullptr) return KORVANE_INVALID_ARGUMENT;
    StatusReport report;
    const std::int32_t result = queryStatus(toDevice(handle), &report);
    if (result == KORVANE_SUCCESS) std::memcpy(limits, report.limits, sizeof report.limits);
    return result;
}

KORVANE_API ResultCode KORVANE_CALL Korvane_GetDeviceUUID(DeviceHandle handle, char* buffer,
                                                          size_t length) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    Device* device = toDevice(handle);
    if (!device->connected.load()) return KORVANE_NOT_CONNECTED;
    if (buffer == nullptr || length == 0) return KORVANE_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> io(device->ioMutex);
    return queryDeviceUuid(*device, buffer, length);
}

}  // extern "C"
