// A connection through the C API to the simulated controller: the starting point of the
// end-to-end tests.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "korvane/korvane.h"
#include "simulator.h"

namespace korvane::test {

// Polls condition until it holds; false when `limit` passed first. Waits are bounded loosely:
// they must end, and what is asserted is the outcome, not how long it took.
template <class Condition>
bool eventually(Condition condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

class SimSession : public ::testing::Test {
  protected:
    void TearDown() override {
        if (handle_ != nullptr) Korvane_Disconnect(handle_);
    }

    // Starts a simulator with short homing cycles (and `options` otherwise) and connects.
    void connect(sim::SimOptions options = {}) {
        if (options.homingDurationMs == sim::SimOptions{}.homingDurationMs) {
            options.homingDurationMs = 600;
        }
        sim_ = std::make_unique<sim::Simulator>(options);
        ASSERT_TRUE(sim_->start()) << sim_->error();
        ASSERT_EQ(Korvane_Connect(sim_->devicePathWide().c_str(), 115200, &handle_), 0);
    }

    std::int32_t state() {
        std::int32_t value = -1;
        EXPECT_EQ(Korvane_GetState(handle_, &value), 0) << Korvane_GetLastError(handle_);
        return value;
    }

    float position(int axis) {
        float positions[6] = {};
        EXPECT_EQ(Korvane_GetPosition(handle_, positions, nullptr), 0)
            << Korvane_GetLastError(handle_);
        return positions[axis];
    }

    // Polls the machine through the library until it reports `wanted`.
    bool reachesState(std::int32_t wanted,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
        return eventually([&] { return state() == wanted; }, limit);
    }

    std::string lastError() { return Korvane_GetLastError(handle_); }

    std::unique_ptr<sim::Simulator> sim_;
    DeviceHandle handle_ = nullptr;
};

}  // namespace korvane::test
