// Assembling reply lines from single bytes, and telling the kinds of reply apart.
#pragma once

#include <cstddef>

namespace korvane {

// Collects the bytes of one reply line. CR is dropped wherever it stands, LF ends a line
// unless the line is still empty (blank lines count as nothing), and bytes beyond capacity-1
// characters are dropped, so an over-long line is cut, never split.
class LineAssembler {
  public:
    static constexpr std::size_t kMaxCapacity = 512;

    explicit LineAssembler(std::size_t capacity = kMaxCapacity)
        : capacity_(capacity == 0 ? 1 : (capacity > kMaxCapacity ? kMaxCapacity : capacity)) {}

    // Feeds one byte; true when it completed a non-empty line, which line() then holds.
    bool push(unsigned char byte) {
        if (complete_) reset();
        if (byte == '\r') return false;
        if (byte == '\n') {
            if (length_ == 0) return false;
            text_[length_] = '\0';
            complete_ = true;
            return true;
        }
        if (length_ + 1 < capacity_) text_[length_++] = static_cast<char>(byte);
        return false;
    }

    void reset() {
        length_ = 0;
        complete_ = false;
        text_[0] = '\0';
    }

    // The completed line, zero-terminated. Bytes after a NUL inside the line are not seen by
    // the C-string users of the line; they never reach past the buffer either way.
    const char* line() const { return text_; }
    std::size_t length() const { return length_; }

  private:
    std::size_t capacity_;
    std::size_t length_ = 0;
    bool complete_ = false;
    char text_[kMaxCapacity] = {};
};

enum class ReplyKind { Ok, Error, StatusLine, Other };

// "ok" (first two characters), "error:" (first six), a line starting with '<', or other.
ReplyKind classifyReply(const char* line);

}  // namespace korvane
