// korvane_wine_host.exe: loads Korvane.dll from its own folder and runs one scenario.
//
//   korvane_wine_host.exe <scenario> COM<n>
//
// Exit status: 0 when every call gave the expected result, 1 when one did not, 2 for a
// usage error, 3 when the DLL or one of its exports could not be loaded.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "dll_path.h"
#include "korvane_api.h"
#include "scenarios.h"

namespace {

void usage() {
    std::fprintf(stderr, "usage: korvane_wine_host.exe <scenario> COM<n>\nscenarios:");
    for (const auto& scenario : korvane::wine::kScenarios) {
        std::fprintf(stderr, " %s", scenario.name);
    }
    std::fprintf(stderr, "\n");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Unbuffered, so that a run the driver has to kill still shows how far it got.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 3) {
        usage();
        return 2;
    }
    const korvane::wine::NamedScenario* chosen = nullptr;
    for (const auto& scenario : korvane::wine::kScenarios) {
        std::wstring name(scenario.name,
                          scenario.name + std::char_traits<char>::length(scenario.name));
        if (name == argv[1]) chosen = &scenario;
    }
    if (chosen == nullptr) {
        usage();
        return 2;
    }

    korvane::wine::KorvaneLibrary library;
    const std::wstring dll = korvane::wine::dllBesideExecutable();
    if (!library.load(dll.c_str())) return 3;
    std::printf("loaded %ls, 21 exports resolved\n", dll.c_str());

    korvane::wine::Session session(library.api(), argv[2]);
    std::printf("scenario %s on %ls\n", chosen->name, argv[2]);
    const bool passed = chosen->run(session);
    std::printf("scenario %s: %s\n", chosen->name, passed ? "passed" : "FAILED");
    return passed ? 0 : 1;
}
