#include "input_splitter.h"

#include <utility>

namespace korvane::sim {

bool InputSplitter::isRealtime(unsigned char byte) {
    return byte == '?' || byte == '!' || byte == '~' || byte == 0x85 || byte == 0x18;
}

InputSplitter::Event InputSplitter::push(unsigned char byte) {
    Event event;
    if (isRealtime(byte)) {
        event.kind = Event::Kind::Realtime;
        event.byte = byte;
        return event;
    }
    if (byte >= 0x80) return event;
    if (byte == '\r' || byte == '\n') {
        if (overflow_) {
            overflow_ = false;
            line_.clear();
            event.kind = Event::Kind::Overflow;
        } else if (!line_.empty() || emptyLines_) {
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
