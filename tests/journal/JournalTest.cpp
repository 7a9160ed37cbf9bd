#include "journal/JournalFiles.h"
#include "journal/OutputTail.h"
#include "journal/Schema.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Journal.h>
#include <VivoziZevidodirid/MaintenanceSets.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using kx::Journal;
using kx::RunOutcome;

kx::JournalTime at(std::int64_t seconds) {
    return kx::JournalTime(std::chrono::seconds(seconds));
}

// One SQL statement on the file behind the library's back; the first column of its first row.
std::string sql(const std::string& file, const std::string& statement) {
    sqlite3* db = nullptr;
    sqlite3_stmt* query = nullptr;
    std::string first;
    sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_prepare_v2(db, statement.c_str(), -1, &query, nullptr);
    if (sqlite3_step(query) == SQLITE_ROW)
        if (const void* bytes = sqlite3_column_blob(query, 0))
            first.assign(static_cast<const char*>(bytes), sqlite3_column_bytes(query, 0));
    sqlite3_finalize(query);
    sqlite3_close_v2(db);
    return first;
}

auto fields(const kx::ScriptRecord& s) {
    return std::tuple(s.path, s.exitStatus, s.signal, s.output, s.omittedBytes, !!s.ended);
}

class JournalTest : public ::testing::Test {
protected:
    vztest::TempDir dir_;
    const std::string folder_ = dir_.file("state"), file_ = folder_ + "/journal.sqlite";

    std::int64_t recordRun(Journal& journal, const std::string& set, std::int64_t start,
                           RunOutcome outcome) {
        const auto run = journal.beginRun(set, getpid(), at(start));
        EXPECT_TRUE(run) << journal.errorText();
        const auto script = journal.beginScript(*run, "/etc/cron." + set + "/job", at(start));
        EXPECT_TRUE(script && journal.finishScript(*script, {at(start + 1), 0, {}, "", 0}));
        EXPECT_TRUE(journal.finishRun(*run, outcome, at(start + 2)));
        return *run;
    }
};

TEST(JournalLocation, RootUnderVarLibOthersUnderTheirHome) {
    const std::string state = "/.local/state/VivoziZevidodirid/journal.sqlite";
    const std::tuple<uid_t, const char*, std::string> cases[] = {
        {0, "/root", "/var/lib/VivoziZevidodirid/journal.sqlite"},
        {1000, "/home/ann", "/home/ann" + state},
        {1000, "/home/ann//", "/home/ann" + state},
        {1000, "/", state},
        {1000, "home/ann", ""}, // relative: no home
        {1000, "", ""}};
    for (const auto& [uid, home, path] : cases)
        EXPECT_EQ(kx::journal::defaultJournalPath(uid, home), path) << home;
    vztest::ScopedSystemPaths paths;
    paths.set(&kx::SystemPaths::journal, "/elsewhere/j.sqlite");
    EXPECT_EQ(kx::journalPath(), "/elsewhere/j.sqlite");
}

TEST(OutputTail, KeepsTheLastBytesAndCountsTheRest) {
    const std::size_t L = kx::kJournalOutputLimit;
    // Chunk sizes written one after another.
    const std::vector<std::size_t> cases[] = {
        {}, {10}, {L}, {L + 1}, {L - 1, 2}, {3 * L + 7}, {1, 3 * L, 5}, std::vector(300, 1000ul)};
    for (const auto& chunks : cases) {
        kx::journal::OutputTail tail;
        std::string all;
        for (const std::size_t size : chunks) {
            for (std::size_t k = 0; k < size; ++k)
                all += static_cast<char>('a' + all.size() % 23);
            tail.append(std::string_view(all).substr(all.size() - size));
        }
        const std::size_t kept = std::min(all.size(), L);
        EXPECT_EQ(tail.tail(), std::string_view(all).substr(all.size() - kept)) << all.size();
        EXPECT_EQ(tail.omitted(), all.size() - kept);
    }
}

TEST_F(JournalTest, RunsAndScriptsReadBackAsWritten) {
    Journal journal(Journal::Access::Write, file_);
    ASSERT_TRUE(journal.isOpen()) << journal.errorText();
    EXPECT_EQ(sql(file_, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(fs::status(folder_).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    recordRun(journal, "daily", 100, RunOutcome::Succeeded);
    recordRun(journal, "daily", 200, RunOutcome::Failed);
    recordRun(journal, "weekly", 150, RunOutcome::Cancelled);
    const auto run = journal.beginRun("daily", getpid(), at(300));
    const std::string binary("out\0\xff err\n", 10), tail(kx::kJournalOutputLimit, 'y');
    const auto failed = journal.beginScript(*run, "a", at(300));
    ASSERT_TRUE(journal.finishScript(*failed, {at(301), 3, {}, binary, 7}));
    const auto killed = journal.beginScript(*run, "b", at(302));
    // Too long for the journal: cut to its tail here too.
    ASSERT_TRUE(journal.finishScript(*killed, {at(303), {}, 9, "0123456789" + tail, 5}));
    journal.beginScript(*run, "c", at(304)); // still running

    Journal reader(Journal::Access::Read, file_);
    ASSERT_TRUE(reader.isOpen()) << reader.errorText();
    const auto one = reader.run(*run);
    ASSERT_TRUE(one && one->scripts.size() == 3);
    EXPECT_EQ(one->outcome, RunOutcome::Running); // our own pid, alive
    EXPECT_EQ(fields(one->scripts[0]), std::tuple("a", 3, std::nullopt, binary, 7u, true));
    EXPECT_EQ(fields(one->scripts[1]), std::tuple("b", std::nullopt, 9, tail, 15u, true));
    EXPECT_EQ(fields(one->scripts[2]), std::tuple("c", std::nullopt, std::nullopt, "", 0u, false));
    EXPECT_EQ(reader.run(*run + 100), std::nullopt);
    const auto summaries = reader.lastRuns();
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_EQ(std::tuple(summaries[0].lastRun.set, summaries[0].lastRun.started,
                         summaries[0].lastSuccess),
              std::tuple("daily", at(300), at(100)));
    EXPECT_EQ(std::tuple(summaries[1].lastRun.outcome, summaries[1].lastRun.ended,
                         summaries[1].lastSuccess),
              std::tuple(RunOutcome::Cancelled, at(152), std::nullopt));
    std::vector<std::int64_t> starts;
    for (std::size_t offset = 0; offset < 4; offset += 2)
        for (const auto& page : reader.runs("daily", 2, offset))
            starts.push_back(page.started.time_since_epoch().count() / 1000000);
    EXPECT_EQ(starts, (std::vector<std::int64_t>{300, 200, 100}));
    EXPECT_TRUE(reader.runs("monthly", 10).empty());
    EXPECT_FALSE(reader.beginRun("daily", 1, at(1))); // read access writes nothing
}

TEST_F(JournalTest, PrunesEachSetToItsNewestRuns) {
    Journal journal(Journal::Access::Write, file_);
    journal.setRunsKept(3);
    // Runs that started at the same time go in the order they were recorded; one recorded
    // late with an earlier start is older.
    std::vector<std::int64_t> ids;
    for (const int start : {10, 50, 20, 50, 60, 40})
        ids.push_back(recordRun(journal, "daily", start, RunOutcome::Succeeded));
    recordRun(journal, "weekly", 5, RunOutcome::Failed);
    const auto keptIds = [&] {
        std::vector<std::int64_t> kept;
        for (const auto& run : journal.runs("daily", 100))
            kept.push_back(run.outcome == RunOutcome::Skipped ? -1 : run.id);
        return kept;
    };
    EXPECT_EQ(keptIds(), (std::vector<std::int64_t>{ids[4], ids[3], ids[1]}));
    ASSERT_TRUE(journal.recordSkipped("daily", getpid(), at(50)));
    EXPECT_EQ(keptIds(), (std::vector<std::int64_t>{ids[4], -1, ids[3]}));
    EXPECT_EQ(journal.runs("weekly", 100).size(), 1u);
    EXPECT_EQ(sql(file_, "SELECT COUNT(*) FROM scripts"), "3"); // gone with their runs
    journal.setRunsKept(0);
    recordRun(journal, "daily", 80, RunOutcome::Succeeded);
    EXPECT_EQ(journal.runs("daily", 100).size(), 4u);
    journal.setRunsKept(2); // room is made as a run begins, not once it has ended
    ASSERT_TRUE(journal.beginRun("daily", getpid(), at(90)));
    EXPECT_EQ(journal.runs("daily", 100).size(), 2u);
}

// The write-ahead log is folded into the file as a run begins, not by the commits of its course,
// the last of which its end waits for.
TEST_F(JournalTest, TheLogIsFoldedInByAConnectionsFirstCommitOnly) {
    // The scripts the file holds without its log: a copy of it alone.
    const auto folded = [&] {
        const std::string copy = dir_.file("copy.sqlite");
        fs::copy_file(file_, copy, fs::copy_options::overwrite_existing);
        return sql(copy, "SELECT COUNT(*) FROM scripts");
    };
    { Journal created(Journal::Access::Write, file_); }
    sql(file_, "PRAGMA wal_checkpoint(TRUNCATE)");
    const std::string output(kx::kJournalOutputLimit, 'x');
    {
        Journal journal(Journal::Access::Write, file_);
        const auto run = journal.beginRun("daily", getpid(), at(1));
        for (int k = 0; k < 80; ++k) { // some 1400 pages, past SQLite's own 1000
            const auto script = journal.beginScript(*run, "/etc/cron.daily/job", at(1));
            ASSERT_TRUE(script && journal.finishScript(*script, {at(2), 0, {}, output, 0}));
        }
        EXPECT_EQ(folded(), "0");
    }
    ASSERT_TRUE(Journal(Journal::Access::Write, file_).beginRun("daily", getpid(), at(3)));
    EXPECT_EQ(folded(), "80");
}

TEST_F(JournalTest, ARunWhoseStandInIsGoneReadsAsInterruptedAndIsStoredSoByTheNextRun) {
    Journal journal(Journal::Access::Write, file_);
    const pid_t gone = fork(); // a child already reaped: a pid no process has
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    const auto stale = journal.beginRun("daily", gone, at(10));
    // Held by a live run: ours, taken the way the stand-in takes it, over a longer pid left by
    // an earlier holder.
    vztest::writeFile(kx::journal::runLockPath(file_, "weekly"), std::string(40, '9'));
    kx::journal::RunLock lock(file_, "weekly");
    ASSERT_EQ(lock.state(), kx::journal::RunLock::State::Held);
    const auto live = journal.beginRun("weekly", getpid(), at(10));
    // The lock names another pid than the run's: a stand-in that died and a new one that runs.
    const auto replaced = journal.beginRun("weekly", gone, at(5));
    EXPECT_EQ(journal.run(*stale)->outcome, RunOutcome::Interrupted);
    EXPECT_EQ(journal.run(*live)->outcome, RunOutcome::Running);
    EXPECT_EQ(journal.run(*replaced)->outcome, RunOutcome::Interrupted);
    EXPECT_EQ(journal.lastRuns()[0].lastRun.outcome, RunOutcome::Interrupted);
    const std::string stored = "SELECT outcome FROM runs WHERE id = " + std::to_string(*stale);
    EXPECT_EQ(sql(file_, stored), "running");
    journal.beginRun("daily", getpid(), at(20));
    EXPECT_EQ(sql(file_, stored), "interrupted");
    // A second taker of a held lock is told who holds it.
    const kx::journal::RunLock second(file_, "weekly");
    EXPECT_EQ(second.state(), kx::journal::RunLock::State::Busy);
    EXPECT_EQ(second.holder(), getpid());
}

TEST_F(JournalTest, GroupedWritesReachOthersTogetherAndNotAtAllUncommitted) {
    {
        Journal journal(Journal::Access::Write, file_);
        ASSERT_TRUE(journal.beginWrites());
        const auto run = journal.beginRun("daily", getpid(), at(10));
        const auto script = journal.beginScript(*run, "/etc/cron.daily/a", at(10));
        ASSERT_TRUE(run && script) << journal.errorText();
        EXPECT_EQ(journal.run(*run)->scripts.size(), 1u); // its own writes, read in its group
        EXPECT_EQ(sql(file_, "SELECT COUNT(*) FROM runs"), "0");
        EXPECT_FALSE(journal.beginWrites()); // groups do not nest
        ASSERT_TRUE(journal.commitWrites());
        EXPECT_EQ(sql(file_, "SELECT COUNT(*) FROM runs, scripts"), "1");
        ASSERT_TRUE(journal.beginWrites());
        ASSERT_TRUE(journal.finishScript(*script, {at(11), 0, {}, "lost", 0}));
    }
    EXPECT_EQ(sql(file_, "SELECT ended IS NULL FROM scripts"), "1");
}

TEST_F(JournalTest, UnsafeOrUnreadableFilesAreRefusedAndLeftAsTheyWere) {
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"folder writable by others", [&] { chmod(folder_.c_str(), 0777); }},
        {"folder of another account", [&] { ASSERT_EQ(chown(folder_.c_str(), 65534, 0), 0); }},
        {"file is a link", [&] { fs::create_symlink(dir_.file("elsewhere"), file_); }},
        {"file of another account",
         [&] {
             vztest::writeFile(file_, "");
             ASSERT_EQ(chown(file_.c_str(), 65534, 65534), 0);
         }},
        {"file is a folder", [&] { fs::create_directory(file_); }},
        {"not a database", [&] { vztest::writeFile(file_, std::string(4096, 'z')); }},
        {"newer schema", [&] { sql(file_, "PRAGMA user_version = 99"); }}};
    for (const auto& [name, plant] : cases) {
        fs::remove_all(folder_);
        fs::create_directory(folder_);
        chmod(folder_.c_str(), 0700);
        plant();
        const std::string before = vztest::readFile(file_);
        for (const auto access : {Journal::Access::Write, Journal::Access::Read}) {
            Journal journal(access, file_);
            EXPECT_FALSE(journal.isOpen() || journal.errorText().empty()) << name;
            EXPECT_FALSE(journal.beginRun("daily", 1, at(1))) << name;
            EXPECT_TRUE(journal.lastRuns().empty()) << name;
        }
        EXPECT_TRUE(vztest::readFile(file_) == before) << name;
        EXPECT_FALSE(fs::exists(dir_.file("elsewhere"))) << name;
    }
    fs::remove_all(folder_); // reading creates nothing
    EXPECT_EQ(Journal(Journal::Access::Read, file_).error(), std::errc::no_such_file_or_directory);
    EXPECT_FALSE(fs::exists(folder_));
}

TEST_F(JournalTest, MigrationStepsBringAnOlderFileUpOnceAndRollBackAFailedStep) {
    const auto steps = kx::journal::migrations();
    const int current = kx::journal::currentSchemaVersion();
    ASSERT_EQ(current, steps.back().version);
    Journal(Journal::Access::Write, file_).beginRun("daily", 1, at(1));
    EXPECT_EQ(sql(file_, "PRAGMA user_version"), std::to_string(current));
    std::vector<kx::journal::Migration> next(steps.begin(), steps.end());
    next.push_back({current + 1, "ALTER TABLE runs ADD COLUMN host TEXT NOT NULL DEFAULT 'h'"});
    std::vector<kx::journal::Migration> broken = next;
    broken.push_back({current + 2, "CREATE TABLE extra(x); SELECT no_such_column FROM runs"});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    EXPECT_NE(kx::journal::migrate(db, broken), ""); // applies the good step, not the broken one
    EXPECT_EQ(kx::journal::schemaVersion(db), current + 1);
    EXPECT_EQ(sql(file_, "SELECT host || set_name FROM runs"), "hdaily");
    EXPECT_EQ(sql(file_, "SELECT name FROM sqlite_master WHERE name = 'extra'"), "");
    EXPECT_EQ(kx::journal::migrate(db, next), "");  // nothing left to do
    EXPECT_NE(kx::journal::migrate(db, steps), ""); // newer than the steps know
    sqlite3_close_v2(db);
    // A file from before any schema (user_version 0) is brought up by opening it to write.
    fs::remove(file_);
    sql(file_, "CREATE TABLE unrelated(x)");
    EXPECT_TRUE(Journal(Journal::Access::Write, file_).isOpen());
    EXPECT_EQ(sql(file_, "PRAGMA user_version"), std::to_string(current));
}

TEST(MaintenanceSets, WhatRunsInWhichOrderAndWhatIsLeftOutWhy) {
    vztest::TempDir root;
    const std::string folder = root.file("cron.daily");
    fs::create_directories(folder + "/sub");
    for (const char* name : {"b", "A-1_x", "a", "plain", ".hidden"})
        vztest::writeScript(folder + "/" + name, "");
    fs::permissions(folder + "/A-1_x", fs::perms::others_exec); // executable by others alone
    fs::permissions(folder + "/plain", fs::perms::owner_read);
    fs::create_symlink("a", folder + "/link");
    fs::create_symlink("nowhere", folder + "/dangling");
    const kx::SetListing listing = kx::listMaintenanceSet(folder);
    EXPECT_FALSE(listing.error);
    std::vector<std::string> names;
    for (const std::string& path : listing.scripts)
        names.push_back(fs::path(path).filename());
    EXPECT_EQ(names, (std::vector<std::string>{"A-1_x", "a", "b", "link"}));
    std::vector<std::pair<std::string, kx::LeftOutReason>> leftOut;
    for (const auto& file : listing.leftOut)
        leftOut.emplace_back(file.name, file.reason);
    using enum kx::LeftOutReason;
    EXPECT_EQ(leftOut, (decltype(leftOut){{".hidden", NameNotRun},
                                          {"dangling", NotRegularFile},
                                          {"plain", NotExecutable},
                                          {"sub", NotRegularFile}}));
    EXPECT_EQ(kx::listMaintenanceSet(root.file("none")).error,
              std::errc::no_such_file_or_directory);
    fs::create_directories(root.file("periodic/daily"));
    fs::create_directories(root.file("cron.weekly"));
    const std::pair<const char*, std::string> sets[] = {
        {"daily", root.file("periodic/daily")}, // periodic/ first
        {"weekly", root.file("cron.weekly")},
        {"monthly", ""}};
    for (const auto& [name, setFolder] : sets) {
        EXPECT_TRUE(kx::isMaintenanceSetName(name)) << name;
        EXPECT_EQ(kx::maintenanceSetFolder(root.path(), name), setFolder) << name;
    }
    for (const char* name : {"", ".", "..", "a b", "back~", "../cron.weekly", "daily/"}) {
        EXPECT_FALSE(kx::isMaintenanceSetName(name)) << name;
        EXPECT_EQ(kx::maintenanceSetFolder(root.path(), name), "") << name;
    }
}

} // namespace
