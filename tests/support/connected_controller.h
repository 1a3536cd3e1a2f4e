// A connection through the C API to a scripted controller that answers "?" with an Idle
// report and every line with "ok": the starting point of most export tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "korvane/korvane.h"
#include "support/scripted_controller.h"

namespace korvane::test {

class ConnectedController : public ::testing::Test {
  protected:
    void SetUp() override {
        controller.answer("<Idle|MPos:0.000,0.000,0.000>\r\n", "ok\r\n");
        ASSERT_EQ(Korvane_Connect(pty.slavePathWide().c_str(), 115200, &handle), KORVANE_SUCCESS);
        controller.clear();
    }
    void TearDown() override {
        if (handle != nullptr) Korvane_Disconnect(handle);
    }

    // Puts a report with the given state into the connection's cache, where the feed hold's
    // shortcut and the velocity worker read it.
    void cacheState(const std::string& report, std::int32_t expected) {
        controller.answerQueries(report + "\r\n");
        std::int32_t state = 0;
        ASSERT_EQ(Korvane_GetState(handle, &state), KORVANE_SUCCESS);
        ASSERT_EQ(state, expected);
    }

    PtyPair pty;
    ScriptedController controller{pty};
    DeviceHandle handle = nullptr;
};

}  // namespace korvane::test
