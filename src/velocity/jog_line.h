// The relative jog line that velocity mode keeps re-issuing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

constexpr std::size_t kJogLineSize = 128;

// "$J=G91 <axis><distance> F<feed>": twenty seconds of travel at |velocity| units per minute,
// the distance's magnitude bounded to 1..3000, the feed truncated and at least 1.
// velocity must be finite with a magnitude below 2^31 (callers refuse anything else).
void composeJogLine(std::int32_t axis, float velocity, char (&line)[kJogLineSize]);

// The letter of axis 0..5 ("xyzabc").
char axisLetter(std::int32_t axis);

}  // namespace korvane
