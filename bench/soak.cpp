// The soak run: the library driven through its C API against the simulated controller, with
// the mixed traffic of a busy host from several threads, for as long as asked. It reports
// the calls made, the failures by result code, and the latency of every export (p50, p90,
// p99, max), and ends the program loudly if any call outlives every time limit.
//
// Run: scripts/soak.sh SECONDS [options], or build/<dir>/bench/korvane_soak --help
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "korvane/korvane.h"
#include "simulator.h"

namespace korvane {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Longer than any call may take: homing's 30 s limit, one window, a generous margin.
constexpr auto kHangThreshold = 40s;

struct Options {
    int seconds = 10;
    int queryThreads = 3;
    int latencyMs = 0;
    int bytesPerSecond = 0;
    int dropEveryNth = 0;
    int homingMs = 300;
};

void printUsage() {
    std::printf(
        "usage: korvane_soak [--seconds N] [--query-threads N] [--latency MS]\n"
        "                    [--byte-rate BYTES_PER_SECOND] [--drop-every N] [--homing-ms MS]\n"
        "  --seconds        how long to run (default 10)\n"
        "  --query-threads  host threads issuing status queries, holds and resumes (default 3);\n"
        "                   one more thread drives jogs, settings, velocity mode and homing\n"
        "  --latency        the simulator starts every reply this late (default 0)\n"
        "  --byte-rate      the simulator's output pace, like a baud rate (default unlimited)\n"
        "  --drop-every     the simulator leaves out every Nth reply (default none)\n"
        "  --homing-ms      length of the simulator's homing cycle (default 300)\n");
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") return false;
        if (i + 1 >= argc) return false;
        char* end = nullptr;
        const long value = std::strtol(argv[++i], &end, 10);
        if (end == nullptr || *end != '\0' || value < 0 || value > 100000000) return false;
        const int v = static_cast<int>(value);
        if (name == "--seconds") {
            options->seconds = v;
        } else if (name == "--query-threads") {
            options->queryThreads = v;
        } else if (name == "--latency") {
            options->latencyMs = v;
        } else if (name == "--byte-rate") {
            options->bytesPerSecond = v;
        } else if (name == "--drop-every") {
            options->dropEveryNth = v;
        } else if (name == "--homing-ms") {
            options->homingMs = v;
        } else {
            return false;
        }
    }
    return true;
}

// Latencies in buckets 5 % wide on a logarithmic scale: constant memory however long the
// run, percentiles within a few per cent; the maximum is kept exactly.
class LatencyHistogram {
  public:
    void record(std::int64_t micros) {
        ++buckets_[bucketOf(micros)];
        ++count_;
        if (micros > max_) max_ = micros;
    }
    void merge(const LatencyHistogram& other) {
        for (std::size_t i = 0; i < kBuckets; ++i) buckets_[i] += other.buckets_[i];
        count_ += other.count_;
        if (other.max_ > max_) max_ = other.max_;
    }
    std::int64_t count() const { return count_; }
    std::int64_t max() const { return max_; }
    // The upper edge of the bucket that holds the p-th percentile (at most the maximum), in
    // microseconds.
    double percentile(double p) const {
        if (count_ == 0) return 0.0;
        const auto rank = static_cast<std::int64_t>(std::ceil(p / 100.0 * count_));
        std::int64_t seen = 0;
        for (std::size_t i = 0; i < kBuckets; ++i) {
            seen += buckets_[i];
            if (seen >= rank) {
                return std::min(std::pow(kGrowth, static_cast<double>(i + 1)),
                                static_cast<double>(max_));
            }
        }
        return static_cast<double>(max_);
    }

  private:
    static constexpr double kGrowth = 1.05;
    static constexpr std::size_t kBuckets = 600;  // 1.05^600 us is far beyond any call

    static std::size_t bucketOf(std::int64_t micros) {
        if (micros < 1) return 0;
        const auto i =
            static_cast<std::size_t>(std::log(static_cast<double>(micros)) / std::log(kGrowth));
        return i < kBuckets ? i : kBuckets - 1;
    }

    std::int64_t buckets_[kBuckets] = {};
    std::int64_t count_ = 0;
    std::int64_t max_ = 0;
};

struct ExportStats {
    LatencyHistogram latency;
    std::map<ResultCode, std::int64_t> results;
};

// One host thread's view: its own statistics (merged at the end, so no locking while the
// run lasts) and the call it is in, for the hang monitor.
class HostThread {
  public:
    template <typename Call>
    ResultCode call(const char* name, Call&& body) {
        current_.store(name);
        callStart_.store(Clock::now().time_since_epoch().count());
        const auto start = Clock::now();
        const ResultCode result = body();
        const auto micros =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        callStart_.store(0);
        ExportStats& s = stats_[name];
        s.latency.record(micros);
        ++s.results[result];
        calls_.fetch_add(1, std::memory_order_relaxed);
        return result;
    }

    // The name of a call running for longer than threshold, or nullptr.
    const char* stuckCall(Clock::duration threshold) const {
        const auto started = callStart_.load();
        if (started == 0) return nullptr;
        const auto running = Clock::now().time_since_epoch() - Clock::duration(started);
        return running > threshold ? current_.load() : nullptr;
    }

    std::int64_t calls() const { return calls_.load(std::memory_order_relaxed); }
    const std::map<std::string, ExportStats>& stats() const { return stats_; }

  private:
    std::atomic<const char*> current_{nullptr};
    std::atomic<Clock::rep> callStart_{0};
    std::atomic<std::int64_t> calls_{0};
    std::map<std::string, ExportStats> stats_;
};

// Status queries, with a UUID query, a feed hold and a resume now and then.
void queryTraffic(DeviceHandle handle, HostThread& self, Clock::time_point deadline, int seed) {
    for (int i = seed; Clock::now() < deadline; ++i) {
        float positions[6];
        int32_t count = 0;
        int32_t state = 0;
        float feed = 0;
        int32_t limits[4];
        char uuid[64];
        switch (i % 4) {
            case 0:
                self.call("Korvane_GetState", [&] { return Korvane_GetState(handle, &state); });
                break;
            case 1:
                self.call("Korvane_GetPosition",
                          [&] { return Korvane_GetPosition(handle, positions, &count); });
                break;
            case 2:
                self.call("Korvane_GetSpeed", [&] { return Korvane_GetSpeed(handle, &feed); });
                break;
            default:
                self.call("Korvane_GetLimits", [&] { return Korvane_GetLimits(handle, limits); });
                break;
        }
        if (i % 40 == 0) {
            self.call("Korvane_GetDeviceUUID",
                      [&] { return Korvane_GetDeviceUUID(handle, uuid, sizeof uuid); });
        }
        if (i % 60 == 0) {
            self.call("Korvane_FeedHold", [&] { return Korvane_FeedHold(handle); });
            std::this_thread::sleep_for(20ms);
            self.call("Korvane_Resume", [&] { return Korvane_Resume(handle); });
        }
    }
}

// Asks for the state until the machine is Idle or the time is up.
void waitForIdle(DeviceHandle handle, HostThread& self, Clock::duration limit) {
    const auto until = Clock::now() + limit;
    while (Clock::now() < until) {
        int32_t state = 0;
        const ResultCode r =
            self.call("Korvane_GetState", [&] { return Korvane_GetState(handle, &state); });
        if (r == KORVANE_SUCCESS && state == KORVANE_STATE_IDLE) return;
        std::this_thread::sleep_for(20ms);
    }
}

// Everything that moves the machine or changes it, from one thread, as the host's rules ask
// for velocity mode: jogs, settings, a spell of velocity mode, now and then an emergency stop
// and the homing cycle that clears its alarm.
void motionTraffic(DeviceHandle handle, HostThread& self, Clock::time_point deadline) {
    for (int round = 0; Clock::now() < deadline; ++round) {
        const int axis = round % 3;
        self.call("Korvane_JogRel", [&] { return Korvane_JogRel(handle, axis, 0.5f, 3000.0f); });
        self.call("Korvane_JogAbs", [&] { return Korvane_JogAbs(handle, axis, 1.0f, 3000.0f); });
        // The controller takes settings only at rest.
        waitForIdle(handle, self, 2s);
        self.call("Korvane_SetAcceleration",
                  [&] { return Korvane_SetAcceleration(handle, axis, 500.0f); });
        self.call("Korvane_EnableSoftLimits",
                  [&] { return Korvane_EnableSoftLimits(handle, axis, 0); });
        self.call("Korvane_SetSoftLimitRange",
                  [&] { return Korvane_SetSoftLimitRange(handle, axis, 1000.0f, -500.0f); });
        if (round % 5 == 0) {
            self.call("Korvane_SetPos", [&] { return Korvane_SetPos(handle, axis, 0.0f); });
        }

        self.call("Korvane_VelocityStart",
                  [&] { return Korvane_VelocityStart(handle, axis, 600.0f); });
        std::this_thread::sleep_for(150ms);
        self.call("Korvane_VelocityStart",
                  [&] { return Korvane_VelocityStart(handle, axis, -300.0f); });
        std::this_thread::sleep_for(150ms);
        self.call("Korvane_VelocityStop", [&] { return Korvane_VelocityStop(handle); });

        if (round % 20 == 19) {
            self.call("Korvane_EmergencyStop", [&] { return Korvane_EmergencyStop(handle); });
            self.call("Korvane_Home", [&] { return Korvane_Home(handle, KORVANE_AXIS_ALL); });
        }
    }
}

void printReport(const Options& options, const std::vector<HostThread>& threads, double seconds) {
    std::map<std::string, ExportStats> all;
    for (const HostThread& t : threads) {
        for (const auto& [name, s] : t.stats()) {
            ExportStats& into = all[name];
            into.latency.merge(s.latency);
            for (const auto& [result, n] : s.results) into.results[result] += n;
        }
    }
    std::int64_t calls = 0;
    std::int64_t failures = 0;
    std::map<ResultCode, std::int64_t> failuresByCode;
    std::printf("\n%-26s %9s %9s  %-24s %9s %9s %9s %9s\n", "export", "calls", "ok",
                "failures (code:count)", "p50 ms", "p90 ms", "p99 ms", "max ms");
    for (const auto& [name, s] : all) {
        std::string failed;
        std::int64_t ok = 0;
        for (const auto& [result, n] : s.results) {
            if (result == KORVANE_SUCCESS) {
                ok = n;
                continue;
            }
            failed += std::to_string(result) + ":" + std::to_string(n) + " ";
            failures += n;
            failuresByCode[result] += n;
        }
        calls += s.latency.count();
        std::printf("%-26s %9lld %9lld  %-24s %9.2f %9.2f %9.2f %9.2f\n", name.c_str(),
                    static_cast<long long>(s.latency.count()), static_cast<long long>(ok),
                    failed.empty() ? "-" : failed.c_str(), s.latency.percentile(50) / 1000.0,
                    s.latency.percentile(90) / 1000.0, s.latency.percentile(99) / 1000.0,
                    static_cast<double>(s.latency.max()) / 1000.0);
    }
    std::printf("\ncalls made: %lld in %.1f s (%.0f per second), %d host threads\n",
                static_cast<long long>(calls), seconds, static_cast<double>(calls) / seconds,
                options.queryThreads + 1);
    std::printf("failures: %lld", static_cast<long long>(failures));
    for (const auto& [result, n] : failuresByCode) {
        std::printf("  [%d] %lld", result, static_cast<long long>(n));
    }
    std::printf(
        "\n(1 not connected, 4 write failed, 5 time-out, 6 velocity mode active, "
        "7 controller error or alarm, 8 invalid argument)\n");
}

int runSoak(const Options& options) {
    sim::SimOptions simOptions;
    simOptions.replyLatencyMs = options.latencyMs;
    simOptions.outputBytesPerSecond = options.bytesPerSecond;
    simOptions.dropEveryNthReply = options.dropEveryNth;
    simOptions.homingDurationMs = options.homingMs;
    sim::Simulator simulator(simOptions);
    if (!simulator.start()) {
        std::fprintf(stderr, "korvane_soak: the simulator did not start: %s\n",
                     simulator.error().c_str());
        return 1;
    }
    DeviceHandle handle = nullptr;
    const ResultCode connected =
        Korvane_Connect(simulator.devicePathWide().c_str(), 115200, &handle);
    if (connected != KORVANE_SUCCESS) {
        std::fprintf(stderr, "korvane_soak: Korvane_Connect on %s returned %d\n",
                     simulator.devicePath().c_str(), connected);
        return 1;
    }
    std::printf(
        "korvane soak: %d s on %s, %d host threads, simulator latency %d ms, "
        "byte rate %s, dropping %s\n",
        options.seconds, simulator.devicePath().c_str(), options.queryThreads + 1,
        options.latencyMs,
        options.bytesPerSecond > 0 ? std::to_string(options.bytesPerSecond).c_str() : "unlimited",
        options.dropEveryNth > 0
            ? ("every " + std::to_string(options.dropEveryNth) + "th reply").c_str()
            : "nothing");
    std::fflush(stdout);

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(options.seconds);
    std::vector<HostThread> threads(static_cast<std::size_t>(options.queryThreads) + 1);
    std::vector<std::thread> workers;
    for (int i = 0; i < options.queryThreads; ++i) {
        workers.emplace_back(queryTraffic, handle, std::ref(threads[static_cast<std::size_t>(i)]),
                             deadline, i * 7);
    }
    workers.emplace_back(motionTraffic, handle, std::ref(threads.back()), deadline);

    // The monitor: progress every ten seconds, and the end of the program if a call hangs.
    std::atomic<bool> done{false};
    std::thread monitor([&] {
        auto nextProgress = start + 10s;
        while (!done.load()) {
            std::this_thread::sleep_for(200ms);
            for (const HostThread& t : threads) {
                if (const char* stuck = t.stuckCall(kHangThreshold)) {
                    std::fprintf(stderr, "korvane_soak: %s has not returned after %lld s\n", stuck,
                                 static_cast<long long>(kHangThreshold.count()));
                    std::abort();
                }
            }
            if (Clock::now() >= nextProgress) {
                std::int64_t calls = 0;
                for (const HostThread& t : threads) calls += t.calls();
                std::printf("  %4lld s: %lld calls\n",
                            static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(
                                                       Clock::now() - start)
                                                       .count()),
                            static_cast<long long>(calls));
                std::fflush(stdout);
                nextProgress += 10s;
            }
        }
    });
    for (std::thread& w : workers) w.join();
    done.store(true);
    monitor.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    Korvane_VelocityStop(handle);
    Korvane_Disconnect(handle);
    simulator.stop();
    printReport(options, threads, seconds);
    return 0;
}

}  // namespace
}  // namespace korvane

int main(int argc, char** argv) {
    korvane::Options options;
    if (!korvane::parseOptions(argc, argv, &options)) {
        korvane::printUsage();
        return 2;
    }
    return korvane::runSoak(options);
}
