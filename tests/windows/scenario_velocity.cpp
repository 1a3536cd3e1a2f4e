// Velocity mode through the DLL: the worker thread the library starts runs under Wine's
// threads, and its lines and the host's status queries share the port.
#include "scenarios.h"

namespace korvane::wine {

bool runVelocity(Session& s) {
    if (!s.connect()) return false;
    const KorvaneApi& api = s.api();
    const DeviceHandle h = s.handle();

    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.VelocityStart(h, 0, 600.0f));
    s.pollState(600);
    // Motion commands are refused while the worker owns the axis.
    if (KORVANE_EXPECT(s, KORVANE_VELOCITY_ACTIVE, api.JogRel(h, 0, 1.0f, 100.0f))) {
        s.expectMessage("Velocity mode is active; stop it first");
    }
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.VelocityStart(h, 6, 600.0f));
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.VelocityStart(h, 0, 0.05f));

    // Same axis: a new rate for the running worker, written after a jog cancel.
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.VelocityStart(h, 0, 900.0f));
    s.pollState(600);
    // Another axis: jog cancel, then a new worker.
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.VelocityStart(h, 1, -450.0f));
    s.pollState(600);

    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.VelocityStop(h));
    // Stopped: a second stop has nothing to cancel, and motion commands are allowed again
    // (checked with an invalid axis, so nothing is sent).
    KORVANE_EXPECT(s, KORVANE_SUCCESS, api.VelocityStop(h));
    KORVANE_EXPECT(s, KORVANE_INVALID_ARGUMENT, api.JogRel(h, 6, 1.0f, 100.0f));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.VelocityStart(nullptr, 0, 600.0f));
    KORVANE_EXPECT(s, KORVANE_INVALID_HANDLE, api.VelocityStop(nullptr));
    // Time for a stray line from a worker that outlived the stop to reach the wire.
    s.pollState(300);
    s.disconnect();
    return s.passed();
}

}  // namespace korvane::wine
