#include "platform/thread_error_buffer.h"

namespace korvane {

char* threadErrorBuffer() {
    thread_local char lastErrorBuffer[kErrorTextSize] = {};
    return lastErrorBuffer;
}

}  // namespace korvane
