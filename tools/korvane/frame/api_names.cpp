#include "frame/api_names.h"

#include "korvane/korvane.h"

namespace korvane::tool {

const char* resultName(std::int32_t result) {
    switch (result) {
        case KORVANE_SUCCESS:
            return "SUCCESS";
        case KORVANE_NOT_CONNECTED:
            return "NOT_CONNECTED";
        case KORVANE_ALREADY_CONNECTED:
            return "ALREADY_CONNECTED";
        case KORVANE_PORT_OPEN_FAILED:
            return "PORT_OPEN_FAILED";
        case KORVANE_WRITE_FAILED:
            return "WRITE_FAILED";
        case KORVANE_TIMEOUT:
            return "TIMEOUT";
        case KORVANE_VELOCITY_ACTIVE:
            return "VELOCITY_ACTIVE";
        case KORVANE_FIRMWARE_ERROR:
            return "FIRMWARE_ERROR";
        case KORVANE_INVALID_ARGUMENT:
            return "INVALID_ARGUMENT";
        case KORVANE_INVALID_HANDLE:
            return "INVALID_HANDLE";
        case KORVANE_RESOURCE_FAILURE:
            return "RESOURCE_FAILURE";
        default:
            return "UNKNOWN_RESULT";
    }
}

std::string resultText(std::int32_t result) {
    return std::to_string(result) + " " + resultName(result);
}

const char* stateName(std::int32_t state) {
    switch (state) {
        case KORVANE_STATE_IDLE:
            return "Idle";
        case KORVANE_STATE_RUN:
            return "Run";
        case KORVANE_STATE_JOG:
            return "Jog";
        case KORVANE_STATE_HOLD:
            return "Hold";
        case KORVANE_STATE_ALARM:
            return "Alarm";
        case KORVANE_STATE_HOME:
            return "Home";
        case KORVANE_STATE_SLEEP:
            return "Sleep";
        case KORVANE_STATE_DOOR:
            return "Door";
        case KORVANE_STATE_CHECK:
            return "Check";
        default:
            return "Unknown";
    }
}

std::string stateText(std::int32_t state) {
    return std::string(stateName(state)) + " (" + std::to_string(state) + ")";
}

char axisLetter(int axis) {
    return axis >= 0 && axis < kAxisCount ? "xyzabc"[axis] : '?';
}

bool resultStoresMessage(std::int32_t result) {
    return result != KORVANE_SUCCESS && result != KORVANE_NOT_CONNECTED &&
           result != KORVANE_INVALID_HANDLE;
}

}  // namespace korvane::tool
