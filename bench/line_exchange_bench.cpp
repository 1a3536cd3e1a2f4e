// Two line commands back to back against the simulator, through the library and through a
// minimal hand-written client doing the same exchanges: for each line, write it, read its
// reply (two when the controller takes CR and LF as two line ends), write "?", read the
// report. Both line-end habits; the simulator reads lines at once (no parse delay), so what
// is measured is the host's share of the exchange.
//
// Run: build/default/bench/line_exchange_bench --benchmark_repetitions=10
//        --benchmark_report_aggregates_only=true
// and compare the medians of each mode: the library should cost at most about 1.2 times the
// client.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "korvane/korvane.h"
#include "simulator.h"

namespace {

korvane::sim::SimOptions optionsFor(const benchmark::State& state) {
    korvane::sim::SimOptions options;
    options.okOnEmptyLine = state.range(0) != 0;
    options.lineParseDelayMs = 0;
    return options;
}

void LibraryTwoLineCommands(benchmark::State& state) {
    korvane::sim::Simulator sim(optionsFor(state));
    if (!sim.start()) {
        state.SkipWithError("simulator did not start");
        return;
    }
    DeviceHandle handle = nullptr;
    if (Korvane_Connect(sim.devicePathWide().c_str(), 115200, &handle) != KORVANE_SUCCESS) {
        state.SkipWithError("connect failed");
        return;
    }
    for (auto _ : state) {
        if (Korvane_SetPos(handle, 0, 1.0f) != KORVANE_SUCCESS ||
            Korvane_SetPos(handle, 1, 2.0f) != KORVANE_SUCCESS) {
            state.SkipWithError(Korvane_GetLastError(handle));
            break;
        }
    }
    Korvane_Disconnect(handle);
}
BENCHMARK(LibraryTwoLineCommands)->Arg(0)->Arg(1)->UseRealTime()->MinTime(1.0);

// Reads until `lines` complete lines (ended by LF) have come, in chunks, with poll.
bool readLines(int fd, int lines) {
    char buffer[512];
    while (lines > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 500) <= 0) return false;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return false;
        for (ssize_t i = 0; i < n; ++i) lines -= buffer[i] == '\n';
    }
    return true;
}

bool exchangeLine(int fd, const char* line, int replies) {
    const std::size_t length = std::strlen(line);
    if (::write(fd, line, length) != static_cast<ssize_t>(length)) return false;
    if (!readLines(fd, replies)) return false;
    if (::write(fd, "?", 1) != 1) return false;
    return readLines(fd, 1);
}

void HandWrittenTwoLineCommands(benchmark::State& state) {
    korvane::sim::Simulator sim(optionsFor(state));
    if (!sim.start()) {
        state.SkipWithError("simulator did not start");
        return;
    }
    const int fd = ::open(sim.devicePath().c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
    const int replies = state.range(0) != 0 ? 2 : 1;
    for (auto _ : state) {
        if (!exchangeLine(fd, "$MPos=x1\r\n", replies) ||
            !exchangeLine(fd, "$MPos=y2\r\n", replies)) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    ::close(fd);
}
BENCHMARK(HandWrittenTwoLineCommands)->Arg(0)->Arg(1)->UseRealTime()->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
