// Homing one axis or all of them.
#include "arguments/argument_rules.h"
#include "device/device.h"
#include "korvane/korvane.h"
#include "protocol/homing.h"
#include "protocol/numbers.h"
#include "velocity/jog_line.h"

using namespace korvane;

extern "C" {

KORVANE_API ResultCode KORVANE_CALL Korvane_Home(DeviceHandle handle, int32_t axis) {
    if (handle == nullptr) return KORVANE_INVALID_HANDLE;
    Device* device = toDevice(handle);
    if (device->refuseInVelocityMode()) return KORVANE_VELOCITY_ACTIVE;
    if (!rules::acceptsHomingAxis(axis)) {
        return device->refuseArgument(rules::kHomingAxis, std::int64_t{axis});
    }

    std::lock_guard<std::mutex> io(device->ioMutex);
    char command[8];
    if (axis == KORVANE_AXIS_ALL) {
        formatCommand(command, sizeof command, "$H");
    } else {
        formatCommand(command, sizeof command, "$H%c", axisLetter(axis));
    }
    if (!device->connected.load()) return KORVANE_NOT_CONNECTED;
    return runHoming(*device, command);
}

}  // extern "C"
