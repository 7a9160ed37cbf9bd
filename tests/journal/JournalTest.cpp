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
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using kx::Journal;
using kx::RunOutcome;

kx::JournalTime at(std::int64_t seconds) {
    return kx::JournalTime(std::chrono::seconds(seconds));
}

// One SQL statement on the file behind the library's back; the first column of the first row.
std::string sql(const std::string& file, const std::string& statement) {
    sqlite3* db = nullptr;
    std::string first;
    sqlite3_open(file.c_str(), &db);
    sqlite3_exec(
        db, statement.c_str(),
        [](void* out, int, char** values, char**) {
            if (static_cast<std::string*>(out)->empty() && values[0])
                *static_cast<std::string*>(out) = values[0];
            return 0;
        },
        &first, nullptr);
    sqlite3_close(db);
    return first;
}

// A pid that no process has: a child already reaped.
pid_t deadPid() {
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

class JournalTest : public ::testing::Test {
protected:
    vztest::TempDir dir_;
    const std::string file_ = dir_.file("state/journal.sqlite");

    std::int64_t recordRun(Journal& journal, const std::string& set, std::int64_t start,
                           RunOutcome outcome, std::string_view output = "") {
        const auto run = journal.beginRun(set, getpid(), at(start));
        EXPECT_TRUE(run) << journal.errorText();
        const auto script = journal.beginScript(*run, "/etc/cron." + set + "/job", at(start));
        EXPECT_TRUE(script && journal.finishScript(*script, {at(start + 1), 0, {}, output, 0}));
        EXPECT_TRUE(journal.finishRun(*run, outcome, at(start + 2)));
        return *run;
    }
};

TEST(JournalLocation, RootUnderVarLibOthersUnderTheirHome) {
    const struct {
        uid_t uid;
        const char* home;
        const char* path;
    } cases[] = {
        {0, "/root", "/var/lib/VivoziZevidodirid/journal.sqlite"},
        {1000, "/home/ann", "/home/ann/.local/state/VivoziZevidodirid/journal.sqlite"},
        {1000, "/home/ann//", "/home/ann/.local/state/VivoziZevidodirid/journal.sqlite"},
        {1000, "/", "/.local/state/VivoziZevidodirid/journal.sqlite"},
        {1000, "home/ann", ""}, // relative: no home
        {1000, "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kx::journal::defaultJournalPath(c.uid, c.home), c.path) << c.home;
    vztest::ScopedSystemPaths paths;
    paths.edit().journal = "/elsewhere/j.sqlite";
    paths.apply();
    EXPECT_EQ(kx::journalPath(), "/elsewhere/j.sqlite");
}

TEST(OutputTail, KeepsTheLastBytesAndCountsTheRest) {
    const std::size_t limit = kx::kJournalOutputLimit;
    // Chunk sizes written one after another.
    const std::vector<std::vector<std::size_t>> cases = {{},
                                                         {10},
                                                         {limit},
                                                         {limit + 1},
                                                         {limit - 1, 2},
                                                         {3 * limit + 7},
                                                         {1, 3 * limit, 5},
                                                         std::vector<std::size_t>(300, 1000)};
    for (const auto& chunks : cases) {
        kx::journal::OutputTail tail;
        std::string all;
        for (const std::size_t size : chunks) {
            std::string chunk;
            for (std::size_t k = 0; k < size; ++k)
                chunk += static_cast<char>('a' + (all.size() + k) % 23);
            all += chunk;
            tail.append(chunk);
        }
        const std::size_t kept = std::min(all.size(), limit);
        EXPECT_EQ(tail.tail(), std::string_view(all).substr(all.size() - kept)) << all.size();
        EXPECT_EQ(tail.omitted(), all.size() - kept);
    }
}

TEST_F(JournalTest, RunsAndScriptsReadBackAsWritten) {
    Journal journal(Journal::Access::Write, file_);
    ASSERT_TRUE(journal.isOpen()) << journal.errorText();
    EXPECT_EQ(sql(file_, "PRAGMA journal_mode"), "wal");
    EXPECT_EQ(fs::status(dir_.file("state")).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(file_).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    recordRun(journal, "daily", 100, RunOutcome::Succeeded);
    recordRun(journal, "daily", 200, RunOutcome::Failed);
    recordRun(journal, "weekly", 150, RunOutcome::Cancelled);
    const auto run = journal.beginRun("daily", getpid(), at(300));
    const std::string binary("out\0\xff err\n", 10);
    const auto failed = journal.beginScript(*run, "/etc/cron.daily/a", at(300));
    ASSERT_TRUE(journal.finishScript(*failed, {at(301), 3, {}, binary, 7}));
    const auto killed = journal.beginScript(*run, "/etc/cron.daily/b", at(302));
    // Too long for the journal: cut to its tail here too.
    const std::string longOutput = std::string(10, 'x') + std::string(kx::kJournalOutputLimit, 'y');
    ASSERT_TRUE(journal.finishScript(*killed, {at(303), {}, 9, longOutput, 5}));
    journal.beginScript(*run, "/etc/cron.daily/c", at(304)); // still running

    Journal reader(Journal::Access::Read, file_);
    ASSERT_TRUE(reader.isOpen()) << reader.errorText();
    const auto one = reader.run(*run);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->outcome, RunOutcome::Running); // our own pid, alive
    ASSERT_EQ(one->scripts.size(), 3u);
    EXPECT_EQ(one->scripts[0].path, "/etc/cron.daily/a");
    EXPECT_EQ(one->scripts[0].exitStatus, 3);
    EXPECT_EQ(one->scripts[0].signal, std::nullopt);
    EXPECT_EQ(one->scripts[0].output, binary);
    EXPECT_EQ(one->scripts[0].omittedBytes, 7u);
    EXPECT_EQ(one->scripts[1].signal, 9);
    EXPECT_EQ(one->scripts[1].exitStatus, std::nullopt);
    EXPECT_EQ(one->scripts[1].output, std::string(kx::kJournalOutputLimit, 'y'));
    EXPECT_EQ(one->scripts[1].omittedBytes, 15u);
    EXPECT_EQ(one->scripts[2].ended, std::nullopt);
    EXPECT_EQ(reader.run(*run + 100), std::nullopt);

    const auto summaries = reader.lastRuns();
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_EQ(summaries[0].lastRun.set, "daily");
    EXPECT_EQ(summaries[0].lastRun.started, at(300));
    EXPECT_EQ(summaries[0].lastSuccess, at(100));
    EXPECT_EQ(summaries[1].lastRun.outcome, RunOutcome::Cancelled);
    EXPECT_EQ(summaries[1].lastRun.ended, at(152));
    EXPECT_EQ(summaries[1].lastSuccess, std::nullopt);

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
    // The scripts of the runs dropped are gone with them.
    EXPECT_EQ(sql(file_, "SELECT COUNT(*) FROM scripts"), "3");
    journal.setRunsKept(0);
    recordRun(journal, "daily", 80, RunOutcome::Succeeded);
    EXPECT_EQ(journal.runs("daily", 100).size(), 4u);
}

TEST_F(JournalTest, ARunWhoseStandInIsGoneReadsAsInterruptedAndIsStoredSoByTheNextRun) {
    Journal journal(Journal::Access::Write, file_);
    const pid_t gone = deadPid();
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
    EXPECT_EQ(sql(file_, "SELECT outcome FROM runs WHERE id = " + std::to_string(*stale)),
              "running");
    journal.beginRun("daily", getpid(), at(20));
    EXPECT_EQ(sql(file_, "SELECT outcome FROM runs WHERE id = " + std::to_string(*stale)),
              "interrupted");
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
    const std::string folder = dir_.file("state");
    const struct {
        const char* name;
        std::function<void()> plant;
    } cases[] = {
        {"folder writable by others", [&] { chmod(folder.c_str(), 0777); }},
        {"folder of another account", [&] { ASSERT_EQ(chown(folder.c_str(), 65534, 0), 0); }},
        {"file is a link", [&] { fs::create_symlink(dir_.file("elsewhere"), file_); }},
        {"file of another account",
         [&] {
             vztest::writeFile(file_, "");
             ASSERT_EQ(chown(file_.c_str(), 65534, 65534), 0);
         }},
        {"file is a folder", [&] { fs::create_directory(file_); }},
        {"not a database", [&] { vztest::writeFile(file_, std::string(4096, 'z')); }},
        {"newer schema", [&] { sql(file_, "PRAGMA user_version = 99"); }},
    };
    for (const auto& c : cases) {
        fs::remove_all(folder);
        fs::create_directory(folder);
        chmod(folder.c_str(), 0700);
        c.plant();
        const std::string before = vztest::readFile(file_);
        for (const auto access : {Journal::Access::Write, Journal::Access::Read}) {
            Journal journal(access, file_);
            EXPECT_FALSE(journal.isOpen()) << c.name;
            EXPECT_FALSE(journal.errorText().empty()) << c.name;
            EXPECT_FALSE(journal.beginRun("daily", 1, at(1))) << c.name;
            EXPECT_TRUE(journal.lastRuns().empty()) << c.name;
        }
        EXPECT_TRUE(vztest::readFile(file_) == before) << c.name;
        EXPECT_FALSE(fs::exists(dir_.file("elsewhere"))) << c.name;
    }
    // Reading creates nothing.
    fs::remove_all(folder);
    Journal missing(Journal::Access::Read, file_);
    EXPECT_EQ(missing.error(), std::errc::no_such_file_or_directory);
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(JournalTest, MigrationStepsBringAnOlderFileUpOnceAndRollBackAFailedStep) {
    const auto steps = kx::journal::migrations();
    ASSERT_EQ(kx::journal::currentSchemaVersion(), steps.back().version);
    { Journal(Journal::Access::Write, file_).beginRun("daily", 1, at(1)); }
    const int current = kx::journal::currentSchemaVersion();
    EXPECT_EQ(sql(file_, "PRAGMA user_version"), std::to_string(current));
    std::vector<kx::journal::Migration> next(steps.begin(), steps.end());
    next.push_back({current + 1, "ALTER TABLE runs ADD COLUMN host TEXT NOT NULL DEFAULT 'h'"});
    std::vector<kx::journal::Migration> broken = next;
    broken.push_back({current + 2, "CREATE TABLE extra(x); SELECT no_such_column FROM runs"});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file_.c_str(), &db), SQLITE_OK);
    EXPECT_NE(kx::journal::migrate(db, broken), ""); // applies the good step, not the broken one
    EXPECT_EQ(kx::journal::schemaVersion(db), current + 1);
    EXPECT_EQ(sql(file_, "SELECT host || set_name FROM runs"), "hdaily");
    EXPECT_EQ(sql(file_, "SELECT name FROM sqlite_master WHERE name = 'extra'"), "");
    EXPECT_EQ(kx::journal::migrate(db, next), "");  // nothing left to do
    EXPECT_NE(kx::journal::migrate(db, steps), ""); // newer than the steps know
    sqlite3_close(db);
    // A file from before any schema (user_version 0) is brought up by opening it to write.
    fs::remove(file_);
    sql(file_, "CREATE TABLE unrelated(x)");
    Journal journal(Journal::Access::Write, file_);
    EXPECT_TRUE(journal.isOpen()) << journal.errorText();
    EXPECT_EQ(sql(file_, "PRAGMA user_version"), std::to_string(current));
}

TEST(MaintenanceSets, WhatRunsInWhichOrderAndWhatIsLeftOutWhy) {
    vztest::TempDir root;
    const std::string folder = root.file("cron.daily");
    fs::create_directories(folder + "/sub");
    const struct {
        const char* name;
        fs::perms mode;
    } files[] = {
        {"b", fs::perms::owner_all},          {"A-1_x", fs::perms::others_exec},
        {"a", fs::perms::owner_all},          {"plain", fs::perms::owner_read},
        {"x.dpkg-old", fs::perms::owner_all}, {".hidden", fs::perms::owner_all},
        {"back~", fs::perms::owner_all},      {"a b", fs::perms::owner_all},
    };
    for (const auto& file : files) {
        vztest::writeFile(folder + "/" + file.name, "#!/bin/sh\n");
        fs::permissions(folder + "/" + file.name, file.mode);
    }
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
    using R = kx::LeftOutReason;
    EXPECT_EQ(leftOut, (std::vector<std::pair<std::string, R>>{{".hidden", R::NameNotRun},
                                                               {"a b", R::NameNotRun},
                                                               {"back~", R::NameNotRun},
                                                               {"dangling", R::NotRegularFile},
                                                               {"plain", R::NotExecutable},
                                                               {"sub", R::NotRegularFile},
                                                               {"x.dpkg-old", R::NameNotRun}}));
    EXPECT_EQ(kx::listMaintenanceSet(root.file("none")).error,
              std::errc::no_such_file_or_directory);

    fs::create_directories(root.file("periodic/daily"));
    fs::create_directories(root.file("cron.weekly"));
    const struct {
        const char* name;
        std::string folder;
    } sets[] = {{"daily", root.file("periodic/daily")}, // periodic/ first
                {"weekly", root.file("cron.weekly")},
                {"monthly", ""},
                {"", ""},
                {".", ""},
                {"..", ""},
                {"a b", ""},
                {"../cron.weekly", ""},
                {"daily/", ""}};
    for (const auto& set : sets) {
        EXPECT_EQ(kx::maintenanceSetFolder(root.path(), set.name), set.folder) << set.name;
        EXPECT_EQ(kx::isMaintenanceSetName(set.name),
                  std::string_view(set.name).find_first_of("./ ") == std::string_view::npos &&
                      *set.name)
            << set.name;
    }
}

} // namespace
