// The calling thread's own buffer for the text that Korvane_GetLastError hands out.
#pragma once

#include <cstddef>

namespace korvane {

constexpr std::size_t kErrorTextSize = 256;

// One buffer per host thread, alive as long as the thread; the only global state the library
// has.
char* threadErrorBuffer();

}  // namespace korvane
