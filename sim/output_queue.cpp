#include "output_queue.h"

#include <algorithm>
#include <utility>

namespace korvane::sim {

bool OutputQueue::push(std::string reply, TimePoint receivedAt, bool counted) {
    if (counted) {
        ++replies_;
        if (dropEveryNth_ > 0 && replies_ % static_cast<unsigned long long>(dropEveryNth_) == 0) {
            return false;
        }
    }
    if (reply.empty()) return true;
    if (pendingBytes_ + reply.size() > kMaxPendingBytes) return false;
    pendingBytes_ += reply.size();
    chunks_.push_back(Chunk{std::move(reply), 0, receivedAt + latency_});
    return true;
}

OutputQueue::Clock::duration OutputQueue::bytePeriod() const {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0) /
                                                       bytesPerSecond_);
}

std::string_view OutputQueue::ready(TimePoint now) const {
    if (chunks_.empty()) return {};
    const Chunk& front = chunks_.front();
    const std::string_view rest = std::string_view(front.bytes).substr(front.offset);
    if (bytesPerSecond_ == 0) return front.due <= now ? rest : std::string_view{};

    const Clock::duration period = bytePeriod();
    TimePoint at = std::max(nextByte_, front.due);
    std::size_t count = 0;
    while (count < rest.size() && at <= now) {
        ++count;
        at += period;
    }
    return rest.substr(0, count);
}

void OutputQueue::consume(std::size_t n) {
    if (chunks_.empty() || n == 0) return;
    Chunk& front = chunks_.front();
    if (bytesPerSecond_ > 0) {
        nextByte_ = std::max(nextByte_, front.due) + bytePeriod() * static_cast<long long>(n);
    }
    front.offset += n;
    pendingBytes_ -= n;
    if (front.offset >= front.bytes.size()) chunks_.pop_front();
}

std::optional<OutputQueue::TimePoint> OutputQueue::nextDue() const {
    if (chunks_.empty()) return std::nullopt;
    const TimePoint due = chunks_.front().due;
    return bytesPerSecond_ == 0 ? due : std::max(nextByte_, due);
}

void OutputQueue::clear() {
    chunks_.clear();
    pendingBytes_ = 0;
}

}  // namespace korvane::sim
