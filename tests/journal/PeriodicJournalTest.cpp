// The periodic stand-in as cron or the runner starts it (an empty environment but for the set
// root and the journal), read back through the journal.
#include "platform/files/Descriptor.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Journal.h>
#include <VivoziZevidodirid/Task.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace {

namespace fs = std::filesystem;
using kx::Journal;
using kx::RunOutcome;

struct Ran {
    int status; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

class PeriodicJournal : public ::testing::Test {
protected:
    vztest::TempDir dir_;
    const std::string journal_ = dir_.file("state/journal.sqlite");

    void addScript(const std::string& set, const std::string& name, const std::string& body) {
        fs::create_directories(dir_.file("cron." + set));
        vztest::writeScript(dir_.file("cron." + set + "/" + name), body);
    }

    // Starts the stand-in, before it `wrapper` (a program and its arguments) when given.
    void start(kx::Task& task, const std::string& set, std::vector<std::string> wrapper = {}) {
        wrapper.push_back(VZ_LIBEXEC_BUILD_DIR "/periodic");
        wrapper.push_back(set);
        task.setLaunchPath(wrapper.front());
        task.setArguments({wrapper.begin() + 1, wrapper.end()});
        task.setEnvironment(std::vector<std::string>{"VIVOZI_PERIODIC_ROOT=" + dir_.path(),
                                                     "VIVOZI_JOURNAL=" + journal_});
        task.setProcessGroupLeader(true);
        ASSERT_FALSE(task.launch());
    }

    Ran run(const std::string& set, std::vector<std::string> wrapper = {}) {
        kx::Task task;
        task.setStandardOutput(kx::Stdio::pipe());
        task.setStandardError(kx::Stdio::pipe());
        start(task, set, std::move(wrapper));
        Ran ran{};
        kx::readAll(task.takeStandardOutput().get(), ran.out);
        kx::readAll(task.takeStandardError().get(), ran.err);
        task.waitUntilExit();
        ran.status = task.terminationStatus();
        return ran;
    }

    std::optional<kx::RunRecord> lastRun(const std::string& set) {
        Journal journal(Journal::Access::Read, journal_);
        const auto runs = journal.runs(set, 1);
        return runs.empty() ? std::nullopt : journal.run(runs.front().id);
    }

    static void waitFor(const std::string& path) {
        for (int k = 0; k < 1000 && !vztest::fileExists(path); ++k)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(vztest::fileExists(path)) << path;
    }
};

TEST_F(PeriodicJournal, EachScriptsStatusAndOutputReachTheJournalAndOurOutput) {
    const struct {
        const char* name;
        const char* body;
        std::optional<int> exit;
        std::optional<int> signal;
        const char* output;
    } scripts[] = {
        {"10-mixed", "echo 1; echo 2 >&2; echo 3\n", 0, {}, "1\n2\n3\n"},
        {"20-fails", "echo 'disk full' >&2; exit 3\n", 3, {}, "disk full\n"},
        {"30-killed", "echo bye; kill -KILL $$\n", {}, 9, "bye\n"},
        {"40-exit143", "exit 143\n", 143, {}, ""},
        {"50-quiet", "true\n", 0, {}, ""},
    };
    for (const auto& script : scripts)
        addScript("daily", script.name, script.body);
    const Ran ran = run("daily");
    EXPECT_EQ(ran.status, 1);
    EXPECT_EQ(ran.out, "1\n2\n3\ndisk full\nbye\n");
    const auto record = lastRun("daily");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->outcome, RunOutcome::Failed);
    ASSERT_TRUE(record->ended);
    ASSERT_EQ(record->scripts.size(), std::size(scripts));
    for (std::size_t k = 0; k < std::size(scripts); ++k) {
        const kx::ScriptRecord& row = record->scripts[k];
        EXPECT_EQ(row.path, dir_.file(std::string("cron.daily/") + scripts[k].name));
        EXPECT_EQ(row.exitStatus, scripts[k].exit) << row.path;
        EXPECT_EQ(row.signal, scripts[k].signal) << row.path;
        EXPECT_EQ(row.output, scripts[k].output) << row.path;
        EXPECT_TRUE(row.ended && *row.ended >= row.started) << row.path;
    }
    addScript("weekly", "ok", "echo fine\n");
    EXPECT_EQ(run("weekly").status, 0);
    EXPECT_EQ(lastRun("weekly")->outcome, RunOutcome::Succeeded);
}

TEST_F(PeriodicJournal, LongOutputPassesOnWholeAndKeepsItsLast64KiB) {
    addScript("daily", "flood", "yes 0123456789abcdef | head -c 1000000\n");
    const Ran ran = run("daily");
    ASSERT_EQ(ran.out.size(), 1000000u);
    const auto record = lastRun("daily");
    ASSERT_TRUE(record && record->scripts.size() == 1);
    EXPECT_EQ(record->scripts[0].output, ran.out.substr(1000000 - kx::kJournalOutputLimit));
    EXPECT_EQ(record->scripts[0].omittedBytes, 1000000 - kx::kJournalOutputLimit);
}

TEST_F(PeriodicJournal, ASecondRunOfASetUnderWayIsSkippedWithStatus75) {
    addScript("daily", "hold",
              "touch '" + dir_.file("started") + "'\nwhile [ ! -e '" + dir_.file("go") +
                  "' ]; do sleep 0.02; done\n");
    kx::Task first;
    first.setStandardOutput(kx::Stdio::nullDevice());
    start(first, "daily");
    waitFor(dir_.file("started"));
    // The run and its script show while the script runs, not only once the run is over.
    std::optional<kx::RunRecord> underWay;
    for (int k = 0; k < 1000 && !(underWay && underWay->scripts.size() == 1); ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        underWay = lastRun("daily");
    }
    ASSERT_TRUE(underWay && underWay->scripts.size() == 1);
    EXPECT_EQ(underWay->outcome, RunOutcome::Running);
    EXPECT_EQ(underWay->scripts[0].ended, std::nullopt);
    const Ran second = run("daily");
    EXPECT_EQ(second.status, 75);
    EXPECT_EQ(second.err, "periodic: set 'daily' is already running (pid " +
                              std::to_string(first.processIdentifier()) + ")\n");
    {
        Journal journal(Journal::Access::Read, journal_);
        const auto runs = journal.runs("daily", 10);
        ASSERT_EQ(runs.size(), 2u);
        EXPECT_EQ(runs[0].outcome, RunOutcome::Skipped);
        EXPECT_EQ(runs[1].outcome, RunOutcome::Running);
    }
    vztest::writeFile(dir_.file("go"), "");
    first.waitUntilExit();
    EXPECT_EQ(first.terminationStatus(), 0);
    EXPECT_EQ(lastRun("daily")->outcome, RunOutcome::Skipped);
    EXPECT_EQ(run("daily").status, 0); // the lock went with the first run
}

TEST_F(PeriodicJournal, AJournalThatCannotBeUsedNeverStopsTheRun) {
    const std::vector<std::string> noOverride = {"/usr/bin/setpriv",
                                                 "--bounding-set=-dac_override,-dac_read_search",
                                                 "--inh-caps=-dac_override,-dac_read_search"};
    const struct {
        const char* name;
        std::function<void()> plant;
        std::vector<std::string> wrapper;
    } cases[] = {
        {"read-only folder", [&] { chmod(dir_.file("state").c_str(), 0500); }, noOverride},
        {"not a database", [&] { vztest::writeFile(journal_, std::string(8192, 'z')); }, {}},
        {"another account's file",
         [&] {
             vztest::writeFile(journal_, "");
             ASSERT_EQ(chown(journal_.c_str(), 65534, 65534), 0);
         },
         {}},
        {"no folder can be made",
         [&] {
             fs::remove(dir_.file("state"));
             vztest::writeFile(dir_.file("state"), "");
         },
         {}},
    };
    addScript("daily", "a", "echo ran a\n");
    addScript("daily", "b", "echo ran b; exit 4\n");
    addScript("weekly", "c", "echo ran c\n");
    for (const auto& c : cases) {
        fs::remove_all(dir_.file("state"));
        fs::create_directory(dir_.file("state"));
        chmod(dir_.file("state").c_str(), 0700);
        c.plant();
        const std::string before = vztest::readFile(journal_);
        const Ran failing = run("daily", c.wrapper);
        EXPECT_EQ(failing.status, 1) << c.name;
        EXPECT_EQ(failing.out, "ran a\nran b\n") << c.name;
        EXPECT_EQ(failing.err, "") << c.name;
        const Ran passing = run("weekly", c.wrapper);
        EXPECT_EQ(passing.status, 0) << c.name;
        EXPECT_EQ(passing.out, "ran c\n") << c.name;
        EXPECT_TRUE(vztest::readFile(journal_) == before) << c.name;
        chmod(dir_.file("state").c_str(), 0700);
    }
}

TEST_F(PeriodicJournal, ATerminatedRunIsRecordedCancelledAndStartsNoFurtherScript) {
    addScript("daily", "a", "echo going; touch '" + dir_.file("started") + "'; sleep 30\n");
    addScript("daily", "b", "touch '" + dir_.file("b-ran") + "'\n");
    kx::Task task;
    task.setStandardOutput(kx::Stdio::nullDevice());
    start(task, "daily");
    waitFor(dir_.file("started"));
    task.terminate(); // the group: the stand-in and its script
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
    EXPECT_FALSE(vztest::fileExists(dir_.file("b-ran")));
    const auto record = lastRun("daily");
    ASSERT_TRUE(record);
    EXPECT_EQ(record->outcome, RunOutcome::Cancelled);
    ASSERT_EQ(record->scripts.size(), 1u);
    EXPECT_EQ(record->scripts[0].signal, SIGTERM);
    EXPECT_EQ(record->scripts[0].output, "going\n");
}

TEST_F(PeriodicJournal, AProcessAScriptLeavesBehindDoesNotHoldTheRun) {
    addScript("daily", "a", "sleep 30 & echo left\n");
    addScript("daily", "b", "echo next\n");
    const auto began = std::chrono::steady_clock::now();
    kx::Task task;
    task.setStandardOutput(kx::Stdio::pipe());
    start(task, "daily");
    std::string out;
    kx::readAll(task.takeStandardOutput().get(), out);
    task.waitUntilExit();
    const pid_t group = task.processIdentifier();
    kill(-group, SIGKILL); // the sleep left behind
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
    EXPECT_EQ(task.terminationStatus(), 0);
    EXPECT_EQ(out, "left\nnext\n");
    EXPECT_EQ(lastRun("daily")->outcome, RunOutcome::Succeeded);
}

} // namespace
