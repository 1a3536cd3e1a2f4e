// One "?" status exchange over a pty, through the library and through a minimal
// hand-written client, against a controller thread that answers at once.
//
// Run: build/default/bench/exchange_bench --benchmark_repetitions=10
//        --benchmark_report_aggregates_only=true
// and compare the two medians: the library should cost at most about 1.2 times the client.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "instant_controller.h"
#include "korvane/korvane.h"

namespace {

using korvane::bench::InstantController;

void LibraryStatusQuery(benchmark::State& state) {
    InstantController controller;
    const std::wstring port(controller.path().begin(), controller.path().end());
    DeviceHandle handle = nullptr;
    if (Korvane_Connect(port.c_str(), 115200, &handle) != KORVANE_SUCCESS) {
        state.SkipWithError("connect failed");
        return;
    }
    int32_t machineState = 0;
    for (auto _ : state) {
        if (Korvane_GetState(handle, &machineState) != KORVANE_SUCCESS) {
            state.SkipWithError("query failed");
            break;
        }
        benchmark::DoNotOptimize(machineState);
    }
    Korvane_Disconnect(handle);
}
BENCHMARK(LibraryStatusQuery)->UseRealTime()->MinTime(1.0);

// The least a client can do: write "?", wait with poll, read the reply in chunks up to LF.
void HandWrittenClient(benchmark::State& state) {
    InstantController controller;
    const int fd = ::open(controller.path().c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    char buffer[512];
    for (auto _ : state) {
        if (::write(fd, "?", 1) != 1) break;
        bool lineEnded = false;
        while (!lineEnded) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 500) <= 0) break;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            lineEnded = std::memchr(buffer, '\n', static_cast<std::size_t>(n)) != nullptr;
        }
        benchmark::DoNotOptimize(buffer);
    }
    ::close(fd);
}
BENCHMARK(HandWrittenClient)->UseRealTime()->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
