// Continuous jogging of one axis: a worker thread that keeps re-issuing relative jogs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

namespace korvane {

class VelocityController {
  public:
    // Writes one jog line through the connection, after the jog cancel when cancelFirst is
    // set, and waits for the controller to take it; false when nothing or not all of it was
    // written (also when the controller is no longer running).
    using SendLine = std::function<bool(const char* line, bool cancelFirst)>;
    // Reads the machine state from the connection's status cache; false when none is cached.
    using ReadState = std::function<bool(std::int32_t* state)>;

    static constexpr float kMinimumVelocity = 0.1f;
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

  private:
    void run();

    const std::int32_t axis_;
    std::atomic<float> targetVelocity_;
    SendLine sendLine_;
    ReadState readState_;
    std::atomic<bool> running_{false};
    std::thread worker_;
};

}  // namespace korvane
