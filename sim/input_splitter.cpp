#include "input_splitter.h"

#include <utility>

namespace korvane::sim {

bool InputSplitter::isRealtime(unsigned char byte) {
    return byte == '?' || byte == '!' || byte == '~' || byte == 0x85 || byte == 0x18;
}

void InputSplitter::discardPartialLine() {
    line_.clear();
    overflow_ = false;
}

InputSplitter::Event InputSplitter::push(unsigned char byte) {
    Event event;
    // Real-time bytes and unknown high bytes are taken out of the stream before lines are
    // assembled, so they do not part a CR from its LF either.
    if (isRealtime(byte)) {
        event.kind = Event::Kind::Realtime;
        event.byte = byte;
        return event;
    }
    if (byte >= 0x80) return event;
    const bool crBefore = std::exchange(afterCr_, byte == '\r');
    if (byte == '\r' || byte == '\n') {
        if (byte == '\n' && crBefore && !crLfTwoEnds_) return event;  // the end of CR LF
        if (overflow_) {
            overflow_ = false;
            line_.clear();
            event.kind = Event::Kind::Overflow;
        } else {
            event.kind = Event::Kind::Line;
            event.line = std::exchange(line_, {});
        }
        return event;
    }
    if (line_.size() < kMaxLineLength) {
        line_ += static_cast<char>(byte);
    } else {
        overflow_ = true;
    }
    return event;
}

}  // namespace korvane::sim
