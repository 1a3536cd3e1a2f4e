// The calling thread's own buffer for the text that Korvane_GetLastError hands out.
#pragma once

#include <cstddef>

namespace korvane {

constexpr std::size_t kErrorTextSize = 256;

// One buffer per host thread, alive as long as the thread. With threadConnectError, the only
// global state the library has.
char* threadErrorBuffer();

// The message of the calling thread's most recent Korvane_Connect, kErrorTextSize bytes; ""
// when that call succeeded or none was made. A failed connect hands out no handle to keep its
// message in, and a host reads it on the thread that connected.
char* threadConnectError();

}  // namespace korvane
