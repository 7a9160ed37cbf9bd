// One tool run through runToolReadingOutput, each beside the bare loop it has to keep up with:
// posix_spawn, read the pipe to end of file, waitpid. Real time, as the work is in the child.
#include "tools/ToolRunner.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Fixture {
    std::string folder;
    std::string oneMiB;
    std::string sixtyFourMiB;

    Fixture() {
        char pattern[] = "/tmp/vz-bench-tools.XXXXXX";
        folder = mkdtemp(pattern);
        oneMiB = write("1MiB", std::size_t{1} << 20);
        sixtyFourMiB = write("64MiB", std::size_t{64} << 20);
    }
    ~Fixture() { std::filesystem::remove_all(folder); }

    std::string write(const char* name, std::size_t size) const {
        const std::string path = folder + "/" + name;
        std::string content(size, 'x');
        std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(size));
        return path;
    }
};

const Fixture& fixture() {
    static const Fixture instance;
    return instance;
}

const std::string& fileFor(std::int64_t mebibytes) {
    return mebibytes == 1 ? fixture().oneMiB : fixture().sixtyFourMiB;
}

enum class Sink { Discard, String };

// The bare loop: what any caller would write by hand. pipeSize 0 keeps the kernel's default.
std::size_t bareRun(const char* path, const char* argument, std::size_t bufferSize, int pipeSize,
                    Sink sink) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        std::abort();
    if (pipeSize)
        fcntl(ends[0], F_SETPIPE_SZ, pipeSize);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    char* argv[] = {const_cast<char*>(path), const_cast<char*>(argument), nullptr};
    char* envp[] = {nullptr};
    pid_t pid;
    if (posix_spawn(&pid, path, &actions, nullptr, argv, envp) != 0)
        std::abort();
    posix_spawn_file_actions_destroy(&actions);
    close(ends[1]);
    static thread_local std::vector<char> buffer;
    buffer.resize(bufferSize);
    std::string collected;
    std::size_t total = 0;
    for (;;) {
        const ssize_t got = read(ends[0], buffer.data(), buffer.size());
        if (got <= 0)
            break;
        total += static_cast<std::size_t>(got);
        if (sink == Sink::String)
            collected.append(buffer.data(), static_cast<std::size_t>(got));
    }
    benchmark::DoNotOptimize(collected.data());
    close(ends[0]);
    int status;
    waitpid(pid, &status, 0);
    return total;
}

void BM_Bare_True(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(bareRun("/bin/true", nullptr, 65536, 0, Sink::Discard));
}

void BM_RunTool_True(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(vz::runToolReadingOutput("/bin/true", std::nullopt).size());
}

void bareCat(benchmark::State& state, std::size_t bufferSize, int pipeSize, Sink sink) {
    const std::string& file = fileFor(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(bareRun("/bin/cat", file.c_str(), bufferSize, pipeSize, sink));
    state.SetBytesProcessed(state.iterations() * (state.range(0) << 20));
}

// Read and discarded through a 64 KiB buffer, default pipe: the baseline.
void BM_Bare_Cat(benchmark::State& state) {
    bareCat(state, 65536, 0, Sink::Discard);
}
// The same loop with the pipe widened to 1 MiB and reads as large.
void BM_BareWidePipe_Cat(benchmark::State& state) {
    bareCat(state, 1 << 20, 1 << 20, Sink::Discard);
}
// Collected by growing a fresh std::string: every new 4 KiB page is a fault.
void BM_BareString_Cat(benchmark::State& state) {
    bareCat(state, 65536, 0, Sink::String);
}

void BM_RunTool_Cat(benchmark::State& state) {
    const std::vector<std::string> arguments{fileFor(state.range(0))};
    for (auto _ : state)
        benchmark::DoNotOptimize(vz::runToolReadingOutput("/bin/cat", arguments).size());
    state.SetBytesProcessed(state.iterations() * (state.range(0) << 20));
}

// Both sides in every iteration, in alternating order, so that both see the same load from
// whatever else the machine runs; the counter "ratio" is ours over the bare loop's time.
template <class Ours, class Bare> void paired(benchmark::State& state, Ours ours, Bare bare) {
    using Clock = std::chrono::steady_clock;
    Clock::duration oursTotal{};
    Clock::duration bareTotal{};
    bool oursFirst = true;
    for (auto _ : state) {
        for (int side = 0; side < 2; ++side) {
            const bool runOurs = (side == 0) == oursFirst;
            const auto start = Clock::now();
            benchmark::DoNotOptimize(runOurs ? ours() : bare());
            (runOurs ? oursTotal : bareTotal) += Clock::now() - start;
        }
        oursFirst = !oursFirst;
    }
    state.counters["ratio"] = std::chrono::duration<double>(oursTotal).count() /
                              std::chrono::duration<double>(bareTotal).count();
}

void BM_Paired_True(benchmark::State& state) {
    paired(
        state, [] { return vz::runToolReadingOutput("/bin/true", std::nullopt).size(); },
        [] { return bareRun("/bin/true", nullptr, 65536, 0, Sink::Discard); });
}

// Against the plain loop (arg 0) or the one with a widened pipe (arg 1).
void BM_Paired_Cat(benchmark::State& state) {
    const std::string& file = fileFor(state.range(0));
    const std::vector<std::string> arguments{file};
    const bool wide = state.range(1) != 0;
    paired(
        state, [&] { return vz::runToolReadingOutput("/bin/cat", arguments).size(); },
        [&] {
            return bareRun("/bin/cat", file.c_str(), wide ? 1 << 20 : 65536, wide ? 1 << 20 : 0,
                           Sink::Discard);
        });
}

BENCHMARK(BM_Paired_True)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Paired_Cat)
    ->Args({1, 0})
    ->Args({64, 0})
    ->Args({64, 1})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_Bare_True)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RunTool_True)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Bare_Cat)->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareWidePipe_Cat)->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareString_Cat)->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RunTool_Cat)->Arg(1)->Arg(64)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
