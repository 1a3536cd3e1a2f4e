#include "frame/status_reading.h"

#include "frame/api_names.h"
#include "frame/text_format.h"

namespace korvane::tool {

ResultCode readStatus(DeviceHandle handle, StatusReading* reading, const char** call) {
    StatusReading next;
    *call = "Korvane_GetState";
    ResultCode result = Korvane_GetState(handle, &next.state);
    if (result != KORVANE_SUCCESS) return result;
    *call = "Korvane_GetPosition";
    result = Korvane_GetPosition(handle, next.positions, &next.count);
    if (result != KORVANE_SUCCESS) return result;
    *call = "Korvane_GetSpeed";
    result = Korvane_GetSpeed(handle, &next.feed);
    if (result != KORVANE_SUCCESS) return result;
    *call = "Korvane_GetLimits";
    result = Korvane_GetLimits(handle, next.limits);
    if (result != KORVANE_SUCCESS) return result;
    *reading = next;
    return KORVANE_SUCCESS;
}

namespace {

std::string limitsText(const std::int32_t* limits) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) text += ' ';
        text += std::to_string(limits[i]);
    }
    return text;
}

}  // namespace

std::string statusBlock(const StatusReading& reading) {
    return "state      " + stateText(reading.state) + "\n" + "positions  " +
           positionsText(reading.positions, reading.count) + "  (" + std::to_string(reading.count) +
           " reported)\n" + "feed       " + fixed(reading.feed, 3) + "\n" + "limits     " +
           limitsText(reading.limits) + "\n";
}

std::string statusLine(const StatusReading& reading) {
    return padRight(stateName(reading.state), 6) + "  " +
           positionsText(reading.positions, reading.count) + "  F" + fixed(reading.feed, 0) +
           "  Lim " + limitsText(reading.limits);
}

std::string positionsJson(const float* positions, std::int32_t count) {
    std::string json = "{\"positions\":[";
    for (int axis = 0; axis < kAxisCount; ++axis) {
        if (axis > 0) json += ',';
        json += jsonNumber(positions[axis]);
    }
    return json + "],\"count\":" + std::to_string(count) + "}";
}

std::string statusJson(const StatusReading& reading) {
    std::string json = "{\"state\":{\"name\":" + jsonString(stateName(reading.state)) +
                       ",\"value\":" + std::to_string(reading.state) + "},";
    // Reuse the positions object's members without its braces.
    const std::string positions = positionsJson(reading.positions, reading.count);
    json += positions.substr(1, positions.size() - 2);
    json += ",\"feed\":" + jsonNumber(reading.feed) + ",\"limits\":[";
    for (int i = 0; i < 4; ++i) {
        if (i > 0) json += ',';
        json += std::to_string(reading.limits[i]);
    }
    return json + "]}";
}

}  // namespace korvane::tool
