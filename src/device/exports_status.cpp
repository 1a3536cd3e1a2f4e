// Status queries and the device UUID: each call asks the controller afresh.
#include <cstring>

#include "arguments/argument_rules.h"
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

// The shape every status query shares: checks, one exchange, and the copy of the wanted
// fields only when it succeeded.
template <typename Out, typename Copy>
std::int32_t queryInto(DeviceHandle handle, Out* out, const char* name, Copy copy) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    if (out == nullptr) return toDevice(handle)->refuseNull(name);
    StatusReport report;
    const std::int32_t result = queryStatus(toDevice(handle), &report);
    if (result == KORVANE_SUCCESS) copy(report);
    return result;
}

}  // namespace

extern "C" {

KORVANE_API ResultCode KORVANE_CALL Korvane_GetState(DeviceHandle handle, int32_t* state) {
    return queryInto(handle, state, "state", [&](const StatusReport& r) { *state = r.state; });
}

KORVANE_API ResultCode KORVANE_CALL Korvane_GetPosition(DeviceHandle handle, float* positions,
                                                        int32_t* count) {
    return queryInto(handle, positions, "positions", [&](const StatusReport& r) {
        std::memcpy(positions, r.positions, sizeof r.positions);
        if (count != nullptr) *count = r.positionCount;
    });
}

KORVANE_API ResultCode KORVANE_CALL Korvane_GetSpeed(DeviceHandle handle, float* feed) {
    return queryInto(handle, feed, "feed", [&](const StatusReport& r) { *feed = r.feed; });
}

KORVANE_API ResultCode KORVANE_CALL Korvane_GetLimits(DeviceHandle handle, int32_t* limits) {
    return queryInto(handle, limits, "limits", [&](const StatusReport& r) {
        std::memcpy(limits, r.limits, sizeof r.limits);
    });
}

KORVANE_API ResultCode KORVANE_CALL Korvane_GetDeviceUUID(DeviceHandle handle, char* buffer,
                                                          size_t length) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    Device* device = toDevice(handle);
    if (!device->connected.load()) return KORVANE_NOT_CONNECTED;
    if (buffer == nullptr) return device->refuseNull("buffer");
    if (!rules::acceptsLength(length)) {
        return device->refuseArgument(rules::kLength, static_cast<std::int64_t>(length));
    }
    std::lock_guard<std::mutex> io(device->ioMutex);
    return queryDeviceUuid(*device, buffer, length);
}

}  // extern "C"
