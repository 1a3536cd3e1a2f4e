// Bytes already taken from the device but not yet handed to the caller.
//
// The protocol reads one byte per call; asking the operating system for each of them costs a
// system call (on Windows under Wine, a round trip to the wine server) per byte. The port
// instead takes whatever has arrived in one call and hands it out from here.
#pragma once

#include <cstddef>
#include <cstring>

namespace korvane {

class ReadAhead {
  public:
    static constexpr std::size_t kCapacity = 256;

    bool empty() const { return begin_ == end_; }
    void clear() { begin_ = end_ = 0; }

    // Where the next fill goes: the whole buffer, which must be empty.
    unsigned char* fillArea() {
        clear();
        return bytes_;
    }
    void filled(std::size_t count) { end_ = count < kCapacity ? count : kCapacity; }

    // Copies up to count bytes out; the number copied.
    std::size_t take(void* out, std::size_t count) {
        std::size_t n = end_ - begin_;
        if (n > count) n = count;
        std::memcpy(out, bytes_ + begin_, n);
        begin_ += n;
        return n;
    }

  private:
    unsigned char bytes_[kCapacity] = {};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
};

}  // namespace korvane
