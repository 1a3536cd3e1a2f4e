#include "support/scripted_controller.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace korvane::test {

ScriptedController::ScriptedController(PtyPair& pty) : pty_(pty), master_(pty.master()) {
    reader_ = std::thread(&ScriptedController::readLoop, this);
    writer_ = std::thread(&ScriptedController::writeLoop, this);
}

ScriptedController::~ScriptedController() {
    stop();
}

void ScriptedController::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (reader_.joinable()) reader_.join();
    if (writer_.joinable()) writer_.join();
}

void ScriptedController::unplug() {
    stop();
    pty_.closeMaster();
}

void ScriptedController::respond(Responder responder) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(responder);
}

void ScriptedController::answerQueries(std::string statusLine) {
    std::lock_guard<std::mutex> lock(mutex_);
    queryReply_ = std::move(statusLine);
}

void ScriptedController::answerLines(std::string replyLine) {
    std::lock_guard<std::mutex> lock(mutex_);
    lineReply_ = std::move(replyLine);
}

void ScriptedController::send(const std::string& bytes) {
    sendScript(reply(bytes));
}

void ScriptedController::sendScript(Script script) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Clock::time_point due = std::max(Clock::now(), lastDue_);
        for (Chunk& c : script) {
            due += std::chrono::milliseconds(c.delayMs);
            outbox_.push_back({due, std::move(c.bytes)});
        }
        lastDue_ = due;
    }
    changed_.notify_all();
}

std::string ScriptedController::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<Input> ScriptedController::inputs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inputs_;
}

std::vector<std::string> ScriptedController::lines() const {
    std::vector<std::string> out;
    for (const Input& in : inputs()) {
        if (!in.realtime) out.push_back(in.line);
    }
    return out;
}

std::string ScriptedController::realtimeBytes() const {
    std::string out;
    for (const Input& in : inputs()) {
        if (in.realtime) out.push_back(in.byte);
    }
    return out;
}

std::size_t ScriptedController::countInputs(const std::function<bool(const Input&)>& match) const {
    const std::vector<Input> all = inputs();
    return static_cast<std::size_t>(std::count_if(all.begin(), all.end(), match));
}

void ScriptedController::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    inputs_.clear();
    partialLine_.clear();
}

bool ScriptedController::waitFor(const std::function<bool(const std::vector<Input>&)>& match,
                                 std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return match(inputs_); });
}

bool ScriptedController::waitForLine(const std::string& line, std::chrono::milliseconds timeout) {
    return waitFor(
        [&](const std::vector<Input>& all) {
            return std::any_of(all.begin(), all.end(),
                               [&](const Input& in) { return in.isLine(line); });
        },
        timeout);
}

bool ScriptedController::waitForRealtime(char byte, std::chrono::milliseconds timeout) {
    return waitFor(
        [&](const std::vector<Input>& all) {
            return std::any_of(all.begin(), all.end(),
                               [&](const Input& in) { return in.is(byte); });
        },
        timeout);
}

void ScriptedController::readLoop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        if ((p.revents & POLLIN) == 0) {
            // Nobody has the slave open right now; wait for the library to open it again.
            usleep(5000);
            continue;
        }
        unsigned char buffer[512];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n <= 0) {
            usleep(5000);
            continue;
        }
        const Clock::time_point at = Clock::now();
        for (ssize_t i = 0; i < n; ++i) handle(buffer[i], at);
    }
}

void ScriptedController::handle(unsigned char byte, Clock::time_point at) {
    Input in;
    in.at = at;
    Responder responder;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(static_cast<char>(byte));
        const bool realtime = byte == '?' || byte == '!' || byte == '~' || byte == 0x85;
        if (partialLine_.empty() && realtime) {
            in.realtime = true;
            in.byte = static_cast<char>(byte);
        } else if (byte == '\n') {
            if (!partialLine_.empty() && partialLine_.back() == '\r') partialLine_.pop_back();
            in.line = partialLine_;
            partialLine_.clear();
        } else {
            partialLine_.push_back(static_cast<char>(byte));
            return;
        }
        inputs_.push_back(in);
        responder = responder_;
        if (!responder) {
            const std::string& text =
                in.realtime ? (in.byte == '?' ? queryReply_ : std::string()) : lineReply_;
            if (!text.empty()) {
                const Clock::time_point due = std::max(at, lastDue_);
                outbox_.push_back({due, text});
                lastDue_ = due;
            }
        }
    }
    changed_.notify_all();
    if (responder) sendScript(responder(in));
}

void ScriptedController::writeLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_) return;
        if (outbox_.empty()) {
            changed_.wait_for(lock, std::chrono::milliseconds(20));
            continue;
        }
        auto next =
            std::min_element(outbox_.begin(), outbox_.end(),
                             [](const Pending& a, const Pending& b) { return a.due < b.due; });
        if (next->due > Clock::now()) {
            // A copy: the wait lets other threads in, and a push may move the outbox.
            const Clock::time_point due = next->due;
            changed_.wait_until(lock, due);
            continue;
        }
        const std::string bytes = std::move(next->bytes);
        outbox_.erase(next);
        const int fd = pty_.master();
        lock.unlock();
        std::size_t done = 0;
        while (fd >= 0 && done < bytes.size()) {
            const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        lock.lock();
    }
}

}  // namespace korvane::test
