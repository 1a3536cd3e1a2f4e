// Opening and closing connections, the last-error text and the version.
#include <memory>
#include <new>

#include "device/device.h"
#include "korvane/korvane.h"
#include "platform/thread_error_buffer.h"
#include "protocol/exchange.h"

using namespace korvane;

namespace {
constexpr std::uint32_t kProbeTimeoutMs = 3000;
}

extern "C" {

KORVANE_API ResultCode KORVANE_CALL Korvane_Connect(const wchar_t* portName, int32_t baudRate,
                                                    DeviceHandle* outHandle) {
    if (portName == nullptr || outHandle == nullptr) return KORVANE_INVALID_ARGUMENT;
    // Every failure below discards the device, and with it anything it opened.
    std::unique_ptr<Device> device(new (std::nothrow) Device());
    if (!device) return KORVANE_RESOURCE_FAILURE;

    if (!device->port.open(portName, baudRate)) return KORVANE_PORT_OPEN_FAILED;
    device->connected.store(true);
    device->port.purgeAll();

    // Nobody else can reach the device yet; the lock is taken only to keep the rule that
    // every exchange runs under it.
    StatusReport probe;
    std::int32_t result;
    {
        std::lock_guard<std::mutex> io(device->ioMutex);
        result = exchange(*device, "?", &probe, kProbeTimeoutMs);
    }
    if (result != KORVANE_SUCCESS) {
        device->port.close();
        device->connected.store(false);
        return KORVANE_TIMEOUT;
    }
    *outHandle = toHandle(device.release());
    return KORVANE_SUCCESS;
}

KORVANE_API ResultCode KORVANE_CALL Korvane_Disconnect(DeviceHandle handle) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    delete toDevice(handle);
    return KORVANE_SUCCESS;
}

KORVANE_API const char* KORVANE_CALL Korvane_GetLastError(DeviceHandle handle) {
    if (handle == nullptr) return "Invalid handle";
    char* buffer = threadErrorBuffer();
    toDevice(handle)->copyLastError(buffer);
    return buffer;
}

KORVANE_API const char* KORVANE_CALL Korvane_GetVersion(void) {
    return KORVANE_VERSION_STRING;
}

}  // extern "C"
