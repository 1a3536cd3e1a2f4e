// The controller's side of a pty, played by a script: records every byte the library writes
// (with a time stamp), splits the stream into real-time bytes and CR LF lines, and answers
// by the rules the test sets.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/pty_pair.h"

namespace korvane::test {

using Clock = std::chrono::steady_clock;

// Milliseconds since start, for loose bounds on time-outs.
inline long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// What the library wrote: one real-time byte ("?", "!", "~", 0x85 outside a line) or one
// complete line without its CR LF.
struct Input {
    bool realtime = false;
    char byte = 0;
    std::string line;
    Clock::time_point at;

    bool is(char b) const { return realtime && byte == b; }
    bool isLine(const std::string& text) const { return !realtime && line == text; }
};

// Bytes to send back, each chunk after a delay counted from the previous chunk (or from the
// input that caused the reply).
struct Chunk {
    int delayMs = 0;
    std::string bytes;
};
using Script = std::vector<Chunk>;

inline Script reply(std::string bytes) {
    return {{0, std::move(bytes)}};
}
inline Script replyAfter(int delayMs, std::string bytes) {
    return {{delayMs, std::move(bytes)}};
}

constexpr char kJogCancel = static_cast<char>(0x85);

class ScriptedController {
  public:
    using Responder = std::function<Script(const Input&)>;

    explicit ScriptedController(PtyPair& pty);
    ~ScriptedController();
    ScriptedController(const ScriptedController&) = delete;
    ScriptedController& operator=(const ScriptedController&) = delete;

    // Full control: called for every input on the controller's thread.
    void respond(Responder responder);
    // Common rules: the reply to "?" and the reply to every line ("" = silence).
    void answerQueries(std::string statusLine);
    void answerLines(std::string replyLine);
    void answer(std::string statusLine, std::string lineReply) {
        answerQueries(std::move(statusLine));
        answerLines(std::move(lineReply));
    }

    // Sends bytes now, or after a script's delays, independent of any input.
    void send(const std::string& bytes);
    void sendScript(Script script);

    // What has been received so far.
    std::string received() const;
    std::vector<Input> inputs() const;
    std::vector<std::string> lines() const;
    std::string realtimeBytes() const;
    std::size_t countInputs(const std::function<bool(const Input&)>& match) const;
    // Forgets what has been received.
    void clear();

    // Waits until match holds for the inputs received, at most timeout.
    bool waitFor(const std::function<bool(const std::vector<Input>&)>& match,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    bool waitForLine(const std::string& line,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    bool waitForRealtime(char byte,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

    // Stops answering and reading (the bytes already received stay recorded).
    void stop();
    // Pulls the cable: stops, then closes the pty's master, so that the library's reads and
    // writes fail from now on.
    void unplug();

  private:
    void readLoop();
    void writeLoop();
    void handle(unsigned char byte, Clock::time_point at);

    PtyPair& pty_;
    int master_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Responder responder_;
    std::string queryReply_;
    std::string lineReply_;
    std::string received_;
    std::vector<Input> inputs_;
    std::string partialLine_;
    struct Pending {
        Clock::time_point due;
        std::string bytes;
    };
    std::vector<Pending> outbox_;
    Clock::time_point lastDue_{};
    bool stopping_ = false;
    std::thread reader_;
    std::thread writer_;
};

}  // namespace korvane::test
