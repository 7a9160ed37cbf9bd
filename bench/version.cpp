// The version queries with a warm cache, each beside the least any cache that sees an outside
// change at once must do: one stat() of the store file, plus the in-memory work on the same
// texts (the numeric compare, or a copy of the cached text). The queries also check the version
// sources' fingerprint, whose stats come once per kx::kVersionSourcesRecheck. The "parses" and
// "tool_runs" counters show that an unchanged store is neither parsed again nor refreshed from
// the tool.
#include "platform/defaults/UserDefaults.h"
#include "version/NumericCompare.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Version.h>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <thread>

namespace {

constexpr const char* kRunning = "10.15.7";
constexpr const char* kGiven = "10.13";

struct Fixture {
    std::string folder;
    std::string store;
    std::string runs;

    Fixture() {
        char pattern[] = "/tmp/vz-bench-version.XXXXXX";
        folder = mkdtemp(pattern);
        store = folder + "/prefs/defaults.plist";
        runs = folder + "/runs";
        const std::string tool = folder + "/sw_vers";
        std::ofstream(tool) << "#!/bin/sh\nprintf 'run\\n' >> '" << runs << "'\nprintf '%s\\n' '"
                            << kRunning << "'\n";
        chmod(tool.c_str(), 0755);
        kx::SystemPaths paths = kx::systemPaths();
        paths.swVers = tool;
        paths.userDefaults = store;
        kx::setSystemPaths(paths);
        // Fill the cache, then let the file's time stamp age past the store's re-read window.
        if (KXGetCurrentSystemString() != kRunning)
            std::abort();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        (void)KXGetCurrentSystemString();
    }
    ~Fixture() { std::filesystem::remove_all(folder); }

    std::size_t toolRuns() const {
        std::ifstream in(runs);
        std::size_t lines = 0;
        for (std::string line; std::getline(in, line);)
            ++lines;
        return lines;
    }
};

const Fixture& fixture() {
    static const Fixture instance;
    return instance;
}

// Counters that must stay at zero: store parses and tool runs per iteration.
class Watch {
public:
    explicit Watch(benchmark::State& state)
        : state_(state), parses_(kx::UserDefaults::parseCount()), runs_(fixture().toolRuns()) {}
    ~Watch() {
        state_.counters["parses"] =
            benchmark::Counter(static_cast<double>(kx::UserDefaults::parseCount() - parses_),
                               benchmark::Counter::kAvgIterations);
        state_.counters["tool_runs"] = static_cast<double>(fixture().toolRuns() - runs_);
    }

private:
    benchmark::State& state_;
    std::uint64_t parses_;
    std::size_t runs_;
};

void BM_Baseline_StatAndCompare(benchmark::State& state) {
    const std::string& store = fixture().store;
    const std::string running = kRunning;
    for (auto _ : state) {
        struct stat info {};
        benchmark::DoNotOptimize(::stat(store.c_str(), &info));
        benchmark::DoNotOptimize(vz::compareNumerically(running, kGiven));
    }
}
BENCHMARK(BM_Baseline_StatAndCompare);

void BM_KXCompareCurrentSystemVersionWith_Warm(benchmark::State& state) {
    fixture();
    Watch watch(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(KXCompareCurrentSystemVersionWith(kGiven));
}
BENCHMARK(BM_KXCompareCurrentSystemVersionWith_Warm);

void BM_Baseline_StatAndCopy(benchmark::State& state) {
    const std::string& store = fixture().store;
    const std::string running = kRunning;
    for (auto _ : state) {
        struct stat info {};
        benchmark::DoNotOptimize(::stat(store.c_str(), &info));
        std::string copy = running;
        benchmark::DoNotOptimize(copy.data());
    }
}
BENCHMARK(BM_Baseline_StatAndCopy);

void BM_KXGetCurrentSystemString_Warm(benchmark::State& state) {
    fixture();
    Watch watch(state);
    for (auto _ : state)
        benchmark::DoNotOptimize(KXGetCurrentSystemString());
}
BENCHMARK(BM_KXGetCurrentSystemString_Warm);

// The in-memory part alone, to show how much of either figure is the stat.
void BM_InMemory_CompareOnly(benchmark::State& state) {
    const std::string running = kRunning;
    for (auto _ : state)
        benchmark::DoNotOptimize(vz::compareNumerically(running, kGiven));
}
BENCHMARK(BM_InMemory_CompareOnly);

} // namespace

BENCHMARK_MAIN();
