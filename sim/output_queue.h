// The simulator's outgoing replies, held back by the reply latency, paced by the byte rate
// and thinned out by the reply dropping of the hostile options.
//
// Not thread-safe; the Simulator locks. Every reply goes out whole and in order.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::sim {

class OutputQueue {
  public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // A host that never reads must not make the simulator grow without bound.
    static constexpr std::size_t kMaxPendingBytes = 64 * 1024;

    void setLatency(std::chrono::milliseconds latency) { latency_ = latency; }
    void setBytesPerSecond(int bytesPerSecond) {
        bytesPerSecond_ = bytesPerSecond > 0 ? bytesPerSecond : 0;
    }
    void setDropEveryNth(int n) { dropEveryNth_ = n > 0 ? n : 0; }

    // Queues one reply (its lines with their CR LF) to go out the latency after receivedAt.
    // Only counted replies take part in dropping every Nth one. False when the reply was
    // dropped, on purpose or because too much is pending.
    bool push(std::string reply, TimePoint receivedAt, bool counted = true);

    // The bytes at the front that may be written at `now` (empty when none is due yet).
    std::string_view ready(TimePoint now) const;
    // Takes the first n bytes of what ready() offered as written.
    void consume(std::size_t n);

    // When the next byte becomes due; nothing when the queue is empty.
    std::optional<TimePoint> nextDue() const;
    bool empty() const { return chunks_.empty(); }
    void clear();

  private:
    struct Chunk {
        std::string bytes;
        std::size_t offset = 0;
        TimePoint due;
    };

    Clock::duration bytePeriod() const;

    std::deque<Chunk> chunks_;
    std::size_t pendingBytes_ = 0;
    std::chrono::milliseconds latency_{0};
    int bytesPerSecond_ = 0;
    int dropEveryNth_ = 0;
    unsigned long long replies_ = 0;
    TimePoint nextByte_{};  // the earliest time the byte rate lets the next byte go
};

}  // namespace korvane::sim
