// Splits the byte stream from the host into real-time commands and command lines.
//
// The real-time bytes ('?', '!', '~', 0x85, 0x18) act wherever they stand, also in the middle
// of a line, and never become part of one. Other bytes of 0x80 and above are dropped: they are
// real-time commands this machine does not have. A line end with nothing before it is an
// empty line, reported like any other (the machine answers it).
#pragma once

#include <cstddef>
#include <string>

namespace korvane::sim {

class InputSplitter {
  public:
    static constexpr std::size_t kMaxLineLength = 255;

    struct Event {
        enum class Kind { None, Realtime, Line, Overflow };
        Kind kind = Kind::None;
        unsigned char byte = 0;  // Realtime
        std::string line;        // Line: the text without its end
    };

    // Feeds one byte. Returns an event of kind None while a line is still being collected;
    // Overflow stands for a line longer than kMaxLineLength, whose text is discarded.
    Event push(unsigned char byte);

    // By default CR LF is one line end, and a lone CR or a lone LF is one as well. Like
    // controllers that take CR and LF as two line ends, `two` makes CR LF end a line and an
    // empty one after it.
    void setCrLfTwoLineEnds(bool two) { crLfTwoEnds_ = two; }

    // Forgets the line being collected, as if its bytes had never come.
    void discardPartialLine();

    static bool isRealtime(unsigned char byte);

  private:
    std::string line_;
    bool overflow_ = false;
    bool crLfTwoEnds_ = false;
    bool afterCr_ = false;  // the last byte of the line stream was a CR
};

}  // namespace korvane::sim
