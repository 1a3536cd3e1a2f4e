// Continuous jogging of one axis: a worker thread that keeps re-issuing relative jogs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

namespace korvane {

class VelocityController {
  public:
    // How the connection dealt with one jog line.
    enum class Sent {
        Taken,    // written; accepted, or no verdict yet (a stop then settles it)
        Refused,  // the controller refused it: the line is in *refusal
        Failed,   // not written (port failure, or a controller out of step)
        Stopped,  // a stop was asked for first; nothing more is to be written
    };
    // Writes one jog line through the connection: after a jog cancel when cancelFirst is set
    // (a controller queues jogs, so a new rate needs the running jog ended) and once the
    // machine rests after any cancel, then waits for the controller's verdict. A refusal's
    // line is copied into refusal (kRefusalSize bytes).
    using SendLine = std::function<Sent(const char* line, bool cancelFirst, char* refusal)>;
    // Reads the machine state from the connection's status cache; false when none is cached.
    // fresh tells whether the report was taken after every motion line had been answered.
    using ReadState = std::function<bool(std::int32_t* state, bool* fresh)>;

    static constexpr std::size_t kRefusalSize = 256;

    static constexpr float kChangeThreshold = 0.01f;
    static constexpr std::uint64_t kReissueDelayMs = 500;
    static constexpr std::uint32_t kPacingMs = 100;

    VelocityController(std::int32_t axis, float velocity)
        : axis_(axis), targetVelocity_(velocity) {}
    ~VelocityController();
    VelocityController(const VelocityController&) = delete;
    VelocityController& operator=(const VelocityController&) = delete;

    // Installed before start(); never changed while the worker lives.
    void installCallbacks(SendLine sendLine, ReadState readState);

    // Starts the worker; false when it already runs or the thread cannot be created.
    bool start();
    // Clears the running flag and nothing else.
    void requestStop() { running_.store(false); }
    // Clears the running flag and waits for the worker to end.
    void stop();

    bool isRunning() const { return running_.load(); }
    std::int32_t axis() const { return axis_; }
    void setTargetVelocity(float velocity) { targetVelocity_.store(velocity); }
    // The line of the controller's refusal that ended the worker, or "" (read after stop()).
    const char* refusal() const { return refusal_; }

  private:
    void run();

    const std::int32_t axis_;
    std::atomic<float> targetVelocity_;
    SendLine sendLine_;
    ReadState readState_;
    std::atomic<bool> running_{false};
    std::thread worker_;
    char refusal_[kRefusalSize] = {};
};

}  // namespace korvane
