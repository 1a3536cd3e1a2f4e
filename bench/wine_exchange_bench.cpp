// One "?" status exchange under Wine: Korvane.dll against a minimal Win32 client, each run as
// korvane_exchange_bench.exe of the cross build on a COM port that is a symlink to a pty, with
// a controller thread answering at once on the other side. Prints each run and the ratio of
// the medians; the library should cost at most about 1.2 times the client.
//
//   wine_exchange_bench <cross-build folder> [exchanges per run] [runs]
//
// scripts/bench-windows.sh builds everything and runs it.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "instant_controller.h"
#include "windows/wine_runner.h"

namespace {

constexpr int kComPort = 9;

// Microseconds per exchange of one run, or a negative number when it failed.
double timeOneRun(const korvane::test::WineRunner& wine, const std::string& mode, long exchanges) {
    korvane::bench::InstantController controller;
    if (!wine.linkComPort(kComPort, controller.path()).empty()) return -1;
    const korvane::test::ProgramRun run =
        wine.runProgram("tests/windows/korvane_exchange_bench.exe",
                        {mode, "COM" + std::to_string(kComPort), std::to_string(exchanges)},
                        "exchange-bench-" + mode, std::chrono::seconds(300));
    wine.unlinkComPort(kComPort);
    if (run.exitCode != 0) {
        std::fprintf(stderr, "%s run failed:\n%s\n", mode.c_str(), run.output.c_str());
        return -1;
    }
    return std::atof(run.value("microseconds_per_exchange").c_str());
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: wine_exchange_bench <cross-build folder> [exchanges] [runs]\n");
        return 2;
    }
    const long exchanges = argc > 2 ? std::atol(argv[2]) : 2000;
    const int runs = argc > 3 ? std::atoi(argv[3]) : 5;
    // Wine takes only an absolute prefix.
    korvane::test::WineRunner wine(std::filesystem::absolute(argv[1]));
    const std::string problem = wine.prepare();
    if (!problem.empty()) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    std::vector<double> library;
    std::vector<double> client;
    // Interleaved, so that a machine that slows down for a while weighs on both alike.
    for (int i = 0; i < runs; ++i) {
        for (const char* mode : {"client", "library"}) {
            const double us = timeOneRun(wine, mode, exchanges);
            if (us <= 0) return 1;
            (std::string(mode) == "library" ? library : client).push_back(us);
            std::printf("run %d %-8s %8.1f us per exchange\n", i + 1, mode, us);
        }
    }
    const double lib = median(library);
    const double min = median(client);
    std::printf("median: library %.1f us, minimal client %.1f us, ratio %.2f\n", lib, min,
                lib / min);
    return 0;
}
