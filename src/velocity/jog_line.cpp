#include "velocity/jog_line.h"

#include "protocol/numbers.h"

namespace korvane {

char axisLetter(std::int32_t axis) {
    return "xyzabc"[static_cast<std::uint32_t>(axis) % 6u];
}

void composeJogLine(std::int32_t axis, float velocity, char (&line)[kJogLineSize]) {
    const float sign = velocity < 0.0f ? -1.0f : 1.0f;
    const float magnitude = velocity < 0.0f ? -velocity : velocity;
    std::int32_t feed = static_cast<std::int32_t>(magnitude);
    if (feed < 1) feed = 1;
    float distance = (magnitude * 20.0f) / 60.0f;
    if (distance < 1.0f) distance = 1.0f;
    if (distance > 3000.0f) distance = 3000.0f;
    distance *= sign;
    formatCommand(line, sizeof line, "$J=G91 %c%f F%d", axisLetter(axis),
                  static_cast<double>(distance), feed);
}

}  // namespace korvane
