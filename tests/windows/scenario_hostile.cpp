// A controller that misbehaves, seen through the DLL: lines far longer than any buffer,
// binary noise and numbers beyond every range. Each call must end with a clear result and
// write nothing outside the caller's buffers; on x86, where size_t and pointers are 4 bytes,
// this is the check that no buffer arithmetic assumes 8.
//
// The driver answers the status queries after the probe in this order (see
// windows_dll_test.cpp): a report cut by its length, a line of junk four times the longest
// line before a report, an over-long error line, a report of out-of-range numbers, binary
// noise before a report; and the UUID query with an over-long line.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "scenarios.h"

namespace korvane::wine {

namespace {

// "inf", "-inf" and "nan" spelt the same way by every C library; other values with three
// decimals.
void printNumber(char* out, std::size_t size, float value) {
    if (std::isnan(value)) {
        std::snprintf(out, size, "nan");
    } else if (std::isinf(value)) {
        std::snprintf(out, size, "%sinf", value < 0 ? "-" : "");
    } else {
        std::snprintf(out, size, "%.3f", static_cast<double>(value));
    }
}

void printNumbers(Session& s, const char* name, const float* values, int n) {
    char text[160] = {};
    std::size_t used = 0;
    for (int i = 0; i < n && used < sizeof text; ++i) {
        char one[32];
        printNumber(one, sizeof one, values[i]);
        used += static_cast<std::size_t>(
            std::snprintf(text + used, sizeof text - used, "%s%s", i == 0 ? "" : " ", one));
    }
    s.value(name, "%s", text);
}

}  // namespace

bool runHostile(Session& s) {
    if (!s.connect()) return false;
    const KorvaneApi& api = s.api();
    const DeviceHandle h = s.handle();

    // Cut at the line limit, the report has lost its '>': nothing settles the query.
    std::int32_t state = -77;
    KORVANE_EXPECT(s, KORVANE_TIMEOUT, api.GetState(h, &state));
    if (state != -77) s.fail("a failed Korvane_GetState wrote the state");

    // Junk far longer than a line, then a report.
    float positions[6] = {};
    std::int32_t count = -1;
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetPosition(h, positions, &count))) {
        printNumbers(s, "after_junk", positions, 6);
    }

    // A long error line: the message is cut, never longer than the library promises.
    KORVANE_EXPECT(s, KORVANE_FIRMWARE_ERROR, api.GetState(h, &state));
    const char* message = api.GetLastError(h);
    s.value("error_length", "%u",
            static_cast<unsigned>(message != nullptr ? std::strlen(message) : 0));

    // Numbers beyond every range.
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetPosition(h, positions, &count))) {
        printNumbers(s, "extreme_positions", positions, 6);
        s.value("extreme_count", "%d", static_cast<int>(count));
    }

    // Binary noise before a report.
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS, api.GetPosition(h, positions, &count))) {
        printNumbers(s, "after_noise", positions, 3);
    }

    // An over-long UUID line into a buffer with guard bytes on both sides.
    struct {
        char before[16];
        char buffer[300];
        char after[16];
    } guarded;
    std::memset(&guarded, 'G', sizeof guarded);
    if (KORVANE_EXPECT(s, KORVANE_SUCCESS,
                       api.GetDeviceUUID(h, guarded.buffer, sizeof guarded.buffer))) {
        s.value("uuid_length", "%u",
                static_cast<unsigned>(strnlen(guarded.buffer, sizeof guarded.buffer)));
    }
    for (std::size_t i = 0; i < sizeof guarded.before; ++i) {
        if (guarded.before[i] != 'G' || guarded.after[i] != 'G') {
            s.fail("Korvane_GetDeviceUUID wrote outside its buffer");
            break;
        }
    }

    s.disconnect();
    return s.passed();
}

}  // namespace korvane::wine
