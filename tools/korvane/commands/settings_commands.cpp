// accel, soft-limits and travel: the per-axis settings subcommands.
#include <string>

#include "frame/api_names.h"
#include "frame/commands.h"
#include "frame/exit_codes.h"
#include "frame/port_options.h"
#include "frame/single_call.h"
#include "frame/text_format.h"

namespace korvane::tool {

int runAccel(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    const int axis = read.axis("--axis");
    const float value = read.number("--value", rules::kAcceleration, rules::acceptsAcceleration);
    if (read.failed()) return call.usageError(read.error());
    return runSingleCall(
        call, options, "Korvane_SetAcceleration",
        [&](DeviceHandle handle) { return Korvane_SetAcceleration(handle, axis, value); },
        std::string(1, axisLetter(axis)) + " acceleration " + fixed(value, 3) + " mm/s^2");
}

int runSoftLimits(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    const int axis = read.axis("--axis");
    const bool enable = read.eitherFlag("--on", "--off");
    if (read.failed()) return call.usageError(read.error());
    return runSingleCall(
        call, options, "Korvane_EnableSoftLimits",
        [&](DeviceHandle handle) { return Korvane_EnableSoftLimits(handle, axis, enable); },
        std::string(1, axisLetter(axis)) + " soft limits " + (enable ? "on" : "off"));
}

int runTravel(const Invocation& call) {
    OptionReader read(call.args);
    const PortOptions options = readPortOptions(read);
    const int axis = read.axis("--axis");
    const float maxTravel = read.number("--max-travel", rules::kMaxTravel, rules::acceptsFinite);
    const float homingPosition =
        read.number("--homing-position", rules::kHomingPosition, rules::acceptsFinite);
    if (read.failed()) return call.usageError(read.error());
    return runSingleCall(
        call, options, "Korvane_SetSoftLimitRange",
        [&](DeviceHandle handle) {
            return Korvane_SetSoftLimitRange(handle, axis, maxTravel, homingPosition);
        },
        std::string(1, axisLetter(axis)) + " max travel " + fixed(maxTravel, 3) +
            ", homing position " + fixed(homingPosition, 3));
}

}  // namespace korvane::tool
