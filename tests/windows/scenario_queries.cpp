// The query exports: values cross the DLL boundary intact, and refusals write nothing.
#include <cstdio>
#include <cstring>

#include "scenarios.h"

namespace korvane::wine {

namespace {

constexpr const char* kLengthRefusal = "Invalid length: 0 (accepted: 1 or more)";

// Refusals happen before any port traffic, so the driver sees none of them on the wire;
// out-parameters keep the values they had.
void checkRefusals(Session& s) {
    const KorvaneApi& api = s.api();
    const DeviceHandle h = s.handle();
    std::int32_t state = -77;
    float positions[6] = {-7, -7, -7, -7, -7, -7};
    std::int32_t count = -77;
    float feed = -7.0f;
    std::int32_t limits[4] = {-7, -7, -7, -7};
    char uuid[16] = "untouched";

    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.GetState(h, nullptr));
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.GetPosition(h, nullptr, &count));
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.GetSpeed(h, nullptr));
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.GetLimits(h, nullptr));
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.GetDeviceUUID(h, nullptr, sizeof uuid));
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.GetDeviceUUID(h, uuid, 0));
    const char* refusal = api.GetLastError(h);
    if (refusal == nullptr || std::strcmp(refusal, kLengthRefusal) != 0) {
        s.fail("the refused length is not named in the last error");
    }
    DeviceHandle second = nullptr;
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.Connect(nullptr, 115200, &second));
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.Connect(s.port(), 115200, nullptr));

    // The null handle is tested first, also when the out-pointer is null as well.
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.GetState(nullptr, &state));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.GetState(nullptr, nullptr));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.GetPosition(nullptr, positions, &count));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.GetSpeed(nullptr, &feed));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.GetLimits(nullptr, limits));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.GetDeviceUUID(nullptr, uuid, sizeof uuid));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.Disconnect(nullptr));

    // With no handle, the last error is this thread's last failed connect: the null out-pointer.
    const char* invalid = api.GetLastError(nullptr);
    if (invalid == nullptr ||
        std::strcmp(invalid, "Invalid outHandle: null (accepted: a non-null pointer)") != 0) {
        s.fail("Korvane_GetLastError(nullptr) does not name the connect's null outHandle");
    }
    if (state != -77 || count != -77 || feed != -7.0f || positions[0] != -7 || limits[0] != -7 ||
        second != nullptr || std::strcmp(uuid, "untouched") != 0) {
        s.fail("a refused call wrote an out-parameter");
    }
}

void printFloats(Session& s, const char* name, const float* values, int n) {
    char text[128] = {};
    int used = 0;
    for (int i = 0; i < n && used < static_cast<int>(sizeof text); ++i) {
        used += std::snprintf(text + used, sizeof text - static_cast<std::size_t>(used), "%s%.3f",
                              i == 0 ? "" : " ", static_cast<double>(values[i]));
    }
    s.value(name, "%s", text);
}

}  // namespace

bool runQueries(Session& s) {
    if (!s.connect()) return false;
    const KorvaneApi& api = s.api();
    const DeviceHandle h = s.handle();
    checkRefusals(s);

    std::int32_t state = 0;
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetState(h, &state))) {
        s.value("state", "%d", static_cast<int>(state));
    }
    float positions[6] = {};
    std::int32_t count = -1;
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetPosition(h, positions, &count))) {
        printFloats(s, "positions", positions, 6);
        s.value("count", "%d", static_cast<int>(count));
    }
    // The count is optional; the six positions are written without it.
    float again[6] = {-7, -7, -7, -7, -7, -7};
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetPosition(h, again, nullptr)) &&
        std::memcmp(again, positions, sizeof again) != 0) {
        s.fail("positions without a count pointer differ from the first query");
    }
    float feed = -1.0f;
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetSpeed(h, &feed))) {
        s.value("feed", "%.3f", static_cast<double>(feed));
    }
    std::int32_t limits[4] = {-1, -1, -1, -1};
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetLimits(h, limits))) {
        s.value("limits", "%d %d %d %d", static_cast<int>(limits[0]), static_cast<int>(limits[1]),
                static_cast<int>(limits[2]), static_cast<int>(limits[3]));
    }
    char uuid[64];
    std::memset(uuid, 'X', sizeof uuid);
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetDeviceUUID(h, uuid, sizeof uuid))) {
        s.value("uuid", "%s", uuid);
        for (std::size_t i = std::strlen(uuid); i < sizeof uuid; ++i) {
            if (uuid[i] != '\0') {
                s.fail("UUID buffer not zero-filled at byte %u", static_cast<unsigned>(i));
                break;
            }
        }
    }
    // A short buffer gets the first length - 1 characters; the byte after it stays as it was,
    // so a length that arrived wrong through the call would show.
    char shortUuid[10];
    std::memset(shortUuid, 'X', sizeof shortUuid);
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetDeviceUUID(h, shortUuid, 9))) {
        s.value("uuid9", "%s", shortUuid);
        if (shortUuid[9] != 'X') s.fail("Korvane_GetDeviceUUID wrote past its length");
    }
    // Successful calls leave the last failure's message in place.
    const char* message = api.GetLastError(h);
    if (message == nullptr || std::strcmp(message, kLengthRefusal) != 0) {
        s.fail("a successful call changed the last error");
    }

    s.disconnect();
    return s.passed();
}

}  // namespace korvane::wine
