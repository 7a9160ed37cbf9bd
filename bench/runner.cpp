// The cost a run adds to each script: a run of /bin/true as periodic with the pause after each
// broadcast cut to zero, beside a bare posix_spawn + waitpid of the same program with the same
// argument and environment. Real time, as much of the work is in the child. With the bus: a
// private dbus-daemon receives every broadcast; without: the post finds no bus.
#include "platform/text/DateStamp.h"
#include "runner/ProgressPause.h"

#include <VivoziZevidodirid/Runner.h>
#include <VivoziZevidodirid/SystemPaths.h>
#include <benchmark/benchmark.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr char kProgram[] = "/bin/true";
constexpr int kScriptsPerRun = 10;

// A session-policy dbus-daemon of our own (anyone may send and receive signals on it).
class PrivateBus {
public:
    PrivateBus() {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        char* argv[] = {const_cast<char*>("dbus-daemon"), const_cast<char*>("--session"),
                        const_cast<char*>("--nofork"), const_cast<char*>("--print-address"),
                        nullptr};
        const int spawned =
            posix_spawn(&pid_, "/usr/bin/dbus-daemon", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string address;
        char c;
        while (spawned == 0 && read(out[0], &c, 1) == 1 && c != '\n')
            address += c;
        close(out[0]);
        if (address.empty())
            throw std::runtime_error("dbus-daemon did not start");
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    }
    ~PrivateBus() {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_ = -1;
};

PlistValue arguments() {
    PlistValue names = PlistValue::array();
    for (int i = 0; i < kScriptsPerRun; ++i)
        names.append("daily");
    PlistValue result = PlistValue::dictionary();
    result.setValueForKey("selectedScripts", names);
    return result;
}

// The baseline: what running the program once costs at the least.
void bareSpawnWait() {
    char* argv[] = {const_cast<char*>("true"), const_cast<char*>("daily"), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, kProgram, nullptr, nullptr, argv, envp) != 0)
        std::abort();
    int status = 0;
    waitpid(pid, &status, 0);
}

// Each iteration runs kScriptsPerRun scripts through the runner and then as many bare spawns,
// so that both see the same load on a shared machine; "ratio" is run time over bare time.
void runBesideBare(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    kx::SystemPaths paths = kx::systemPaths();
    paths.periodic = kProgram;
    kx::setSystemPaths(paths);
    vz::setProgressPause(std::chrono::nanoseconds(0));
    const PlistValue selected = arguments();
    VivoziZevidodiridFramework runner;
    Clock::duration inRuns{};
    Clock::duration inBare{};
    for (auto _ : state) {
        const auto start = Clock::now();
        std::size_t replied = 0;
        runner.runWithArguments(selected, [&](const ResultList& list) { replied = list.size(); });
        const auto between = Clock::now();
        for (int i = 0; i < kScriptsPerRun; ++i)
            bareSpawnWait();
        inRuns += between - start;
        inBare += Clock::now() - between;
        if (replied != kScriptsPerRun)
            state.SkipWithError("the run did not reply with every script");
    }
    const double scripts = static_cast<double>(state.iterations()) * kScriptsPerRun;
    const auto microseconds = [](Clock::duration d) {
        return std::chrono::duration<double, std::micro>(d).count();
    };
    state.counters["run_us"] = microseconds(inRuns) / scripts;
    state.counters["bare_us"] = microseconds(inBare) / scripts;
    state.counters["ratio"] = microseconds(inRuns) / microseconds(inBare);
}

void BM_RunBesideBare_WithBus(benchmark::State& state) {
    PrivateBus bus;
    runBesideBare(state);
}
BENCHMARK(BM_RunBesideBare_WithBus)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_RunBesideBare_NoBus(benchmark::State& state) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/vz-bench-bus", 1);
    runBesideBare(state);
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}
BENCHMARK(BM_RunBesideBare_NoBus)->UseRealTime()->Unit(benchmark::kMillisecond);

// The parts of the per-script cost that are not the child's.
void BM_DateStamp(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(kx::currentDateStamp());
}
BENCHMARK(BM_DateStamp)->Unit(benchmark::kMicrosecond);

void BM_Post_WithBus(benchmark::State& state) {
    PrivateBus bus;
    for (auto _ : state)
        kx::DistributedNotificationCenter::defaultCenter().postNotification(
            kx::progressNotificationName, "33|Friday|daily");
}
BENCHMARK(BM_Post_WithBus)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
