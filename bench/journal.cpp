// What the maintenance journal costs.
//
// Per script: the periodic stand-in running a set of ten small shell scripts, as cron would (an
// empty environment but for the set's root and the journal, its output to the null device), in
// two ways that take turns within each iteration, so that both see the same load. Both launch
// the same scripts and relay their output through the same pipe, keeping its tail.
//   with:    the journal in a private folder, holding the set's newest 500 runs from the start
//            (so that each run also prunes one): the run lock is taken and the journal's thread
//            opens the file and writes the run, its scripts and their output.
//   without: the journal pointed under /proc, where no folder can be made: no lock, no journal
//            thread, and the one log line that says the run goes unrecorded.
//
// Status: the last run of each set read through Journal::lastRuns from a journal of 100,000
// runs, beside the same query stepped through the bare SQLite API on its own connection.
#include "journal/Schema.h"

#include <VivoziZevidodirid/Journal.h>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sqlite3.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kScriptsPerRun = 10;
constexpr int kRuns = 100000;
constexpr int kSets = 10;

double microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "vz-bench.XXXXXX").native();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs `periodic daily` as cron would, its output to the null device; false when it failed.
bool runStandIn(const fs::path& root, const std::string& journal) {
    const std::string rootVariable = "VIVOZI_PERIODIC_ROOT=" + root.native();
    const std::string journalVariable = "VIVOZI_JOURNAL=" + journal;
    char* envp[] = {const_cast<char*>(rootVariable.c_str()),
                    const_cast<char*>(journalVariable.c_str()), nullptr};
    char* argv[] = {const_cast<char*>("periodic"), const_cast<char*>("daily"), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned =
        posix_spawn(&pid, VZ_LIBEXEC_BUILD_DIR "/periodic", &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

void BM_StandInBesideNoJournal(benchmark::State& state) {
    TempFolder folder;
    fs::create_directories(folder.path() / "cron.daily");
    for (int k = 0; k < kScriptsPerRun; ++k) {
        const fs::path script = folder.path() / "cron.daily" / ("job" + std::to_string(k));
        std::ofstream(script) << "#!/bin/sh\necho job " << k << " done\n";
        fs::permissions(script, fs::perms::owner_all);
    }
    const std::string journal = (folder.path() / "state" / "journal.sqlite").native();
    {
        // A journal in its steady state: as many runs as are kept, each with its scripts.
        kx::Journal seeded(kx::Journal::Access::Write, journal);
        const kx::JournalTime start{std::chrono::seconds(1700000000)};
        seeded.beginWrites();
        for (std::size_t k = 0; k < kx::kJournalDefaultRunsKept; ++k) {
            const kx::JournalTime at = start + std::chrono::minutes(k);
            const auto run = seeded.beginRun("daily", 1, at);
            for (int s = 0; s < kScriptsPerRun && run; ++s) {
                const auto script = seeded.beginScript(*run, "/etc/cron.daily/job", at);
                seeded.finishScript(script.value_or(0), {at, 0, std::nullopt, "job done\n", 0});
            }
            seeded.finishRun(run.value_or(0), kx::RunOutcome::Succeeded, at);
        }
        if (!seeded.commitWrites())
            state.SkipWithError(("cannot seed the journal: " + seeded.errorText()).c_str());
    }
    // Under /proc no folder can be made: the stand-in runs unrecorded.
    const std::string nowhere = "/proc/vz-bench-no-journal/journal.sqlite";
    Clock::duration with{};
    Clock::duration without{};
    bool withFirst = true;
    for (auto _ : state) {
        // Which goes first alternates: the second of two runs in a row is not the slower one.
        bool ran = true;
        for (const bool recorded : {withFirst, !withFirst}) {
            const auto start = Clock::now();
            ran = runStandIn(folder.path(), recorded ? journal : nowhere) && ran;
            (recorded ? with : without) += Clock::now() - start;
        }
        withFirst = !withFirst;
        if (!ran)
            state.SkipWithError("the stand-in failed");
    }
    if (kx::Journal(kx::Journal::Access::Read, journal).runs("daily", 1).empty())
        state.SkipWithError("nothing was recorded");
    const double scripts = static_cast<double>(state.iterations()) * kScriptsPerRun;
    state.counters["with_us"] = microseconds(with) / scripts;
    state.counters["without_us"] = microseconds(without) / scripts;
    state.counters["ratio"] = microseconds(with) / microseconds(without);
}
BENCHMARK(BM_StandInBesideNoJournal)->UseRealTime()->Unit(benchmark::kMillisecond);

// A journal of kRuns runs over kSets sets, one script each, the newest of each set a failure.
void fillJournal(const std::string& file) {
    kx::Journal journal(kx::Journal::Access::Write, file);
    if (!journal.isOpen())
        throw std::runtime_error(journal.errorText());
    sqlite3* db = nullptr;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* run = nullptr;
    sqlite3_stmt* script = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO runs(set_name, started, ended, outcome, pid) "
                       "VALUES(?, ?, ?, ?, 1)",
                       -1, &run, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO scripts(run_id, path, started, ended, exit_status, output) "
                       "VALUES(last_insert_rowid(), '/etc/cron.daily/job', ?, ?, 0, 'done')",
                       -1, &script, nullptr);
    for (int k = 0; k < kRuns; ++k) {
        const std::string set = "set" + std::to_string(k % kSets);
        const std::int64_t started = 1700000000000000 + std::int64_t{k} * 60000000;
        const bool last = k >= kRuns - kSets;
        sqlite3_bind_text(run, 1, set.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(run, 2, started);
        sqlite3_bind_int64(run, 3, started + 5000000);
        sqlite3_bind_text(run, 4, last || k % 7 == 0 ? "failed" : "succeeded", -1, SQLITE_STATIC);
        sqlite3_step(run);
        sqlite3_reset(run);
        sqlite3_bind_int64(script, 1, started);
        sqlite3_bind_int64(script, 2, started + 5000000);
        sqlite3_step(script);
        sqlite3_reset(script);
    }
    sqlite3_finalize(run);
    sqlite3_finalize(script);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

struct BareRow {
    std::int64_t id, started, ended, pid, lastSuccess;
    std::string set, outcome;
};

// The baseline: the same rows read through the bare API, into plain values, with the query
// prepared once on its connection, as the journal prepares its own.
std::vector<BareRow> bareLastRuns(sqlite3_stmt* query) {
    std::vector<BareRow> rows;
    while (sqlite3_step(query) == SQLITE_ROW)
        rows.push_back({sqlite3_column_int64(query, 0), sqlite3_column_int64(query, 2),
                        sqlite3_column_int64(query, 3), sqlite3_column_int64(query, 5),
                        sqlite3_column_int64(query, 6),
                        reinterpret_cast<const char*>(sqlite3_column_text(query, 1)),
                        reinterpret_cast<const char*>(sqlite3_column_text(query, 4))});
    sqlite3_reset(query);
    return rows;
}

void BM_LastRunsBesideBare(benchmark::State& state) {
    TempFolder folder;
    const std::string file = (folder.path() / "state" / "journal.sqlite").native();
    fillJournal(file);
    kx::Journal journal(kx::Journal::Access::Read, file);
    sqlite3* db = nullptr;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, kx::journal::kLastRunsQuery, -1, &query, nullptr);
    Clock::duration ours{};
    Clock::duration bare{};
    for (auto _ : state) {
        const auto start = Clock::now();
        const auto summaries = journal.lastRuns();
        const auto between = Clock::now();
        const auto rows = bareLastRuns(query);
        ours += between - start;
        bare += Clock::now() - between;
        if (summaries.size() != kSets || rows.size() != kSets ||
            summaries.front().lastRun.outcome != kx::RunOutcome::Failed ||
            !summaries.front().lastSuccess)
            state.SkipWithError("wrong answer");
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    const double iterations = static_cast<double>(state.iterations());
    state.counters["ours_us"] = microseconds(ours) / iterations;
    state.counters["bare_us"] = microseconds(bare) / iterations;
    state.counters["ratio"] = microseconds(ours) / microseconds(bare);
}
BENCHMARK(BM_LastRunsBesideBare)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
