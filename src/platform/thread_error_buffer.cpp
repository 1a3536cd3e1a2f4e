#include "platform/thread_error_buffer.h"

namespace korvane {

char* threadErrorBuffer() {
    thread_local char lastErrorBuffer[kErrorTextSize] = {};
    return lastErrorBuffer;
}

char* threadConnectError() {
    thread_local char connectError[kErrorTextSize] = {};
    return connectError;
}

}  // namespace korvane
