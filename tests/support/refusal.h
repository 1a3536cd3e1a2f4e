// Checks that a result 8 came with a message naming the argument and its accepted values.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "korvane/korvane.h"

namespace korvane::test {

// Passes when result is KORVANE_INVALID_ARGUMENT and the connection's message reads
// "Invalid <name>: <value> (accepted: <...>)".
inline ::testing::AssertionResult refused(DeviceHandle handle, ResultCode result,
                                          const std::string& name, const std::string& value) {
    if (result != KORVANE_INVALID_ARGUMENT) {
        return ::testing::AssertionFailure() << "result " << result << ", not 8";
    }
    const std::string message = Korvane_GetLastError(handle);
    const std::string start = "Invalid " + name + ": " + value + " (accepted: ";
    if (message.rfind(start, 0) != 0 || message.size() <= start.size() + 1 ||
        message.back() != ')') {
        return ::testing::AssertionFailure()
               << "message \"" << message << "\", expected \"" << start << "...)\"";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace korvane::test
