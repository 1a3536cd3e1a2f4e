// Splits the byte stream from the host into real-time commands and command lines.
//
// The real-time bytes ('?', '!', '~', 0x85, 0x18) act wherever they stand, also in the middle
// of a line, and never become part of one. CR, LF or CR LF end a line; empty lines are
// dropped (unless empty lines are asked for). Other bytes of 0x80 and above are dropped as
// well: they are real-time commands this machine does not have.
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

    // Like controllers that take CR and LF as two line ends: CR LF then ends a line and an
    // empty one after it, which is reported as a Line event with empty text.
    void setEmptyLines(bool report) { emptyLines_ = report; }

    static bool isRealtime(unsigned char byte);

  private:
    std::string line_;
    bool overflow_ = false;
    bool emptyLines_ = false;
};

}  // namespace korvane::sim
