// The scenarios the host runs; each returns whether every call went as expected.
// What the controller on the other end answers is set up by the Linux-side driver, which
// also checks the bytes that reached the wire.
#pragma once

#include "session.h"

namespace korvane::wine {

// Version, connect, disconnect.
bool runSmoke(Session& s);
// A missing port, then a port where nothing answers: no handle either time.
bool runNoController(Session& s);
// The five queries, their values printed for the driver, and the argument refusals.
bool runQueries(Session& s);
// Velocity mode: start, rate change, axis switch, stop, with state polls in between.
bool runVelocity(Session& s);
// Every export against the simulated controller.
bool runWholeApi(Session& s);
// Long lines, noise and out-of-range numbers from the controller.
bool runHostile(Session& s);
// Thousands of calls of every export's signature; the stack pointer must not move.
bool runStack(Session& s);

struct NamedScenario {
    const char* name;
    bool (*run)(Session&);
};

inline constexpr NamedScenario kScenarios[] = {
    {"smoke", runSmoke},       {"no-controller", runNoController}, {"queries", runQueries},
    {"velocity", runVelocity}, {"whole-api", runWholeApi},         {"stack", runStack},
    {"hostile", runHostile},
};

}  // namespace korvane::wine
