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

namespace {

namespace fs = std::filesystem;
using kx::Journal;
using kx::RunOutcome;

// Root keeps its ownership of files but loses the capabilities that pass over permissions.
const std::vector<std::string> kNoOverride = {"/usr/bin/setpriv",
                                              "--bounding-set=-dac_override,-dac_read_search",
                                              "--inh-caps=-dac_override,-dac_read_search"};

constexpr auto kWait = std::chrono::seconds(10); // well within the suite's time limit

struct Ran {
    int status; // exit status, or 128 + signal
    std::string out, err;
    friend bool operator==(const Ran&, const Ran&) = default;
    friend void PrintTo(const Ran& r, std::ostream* o) { *o << r.status << ", " << r.out << r.err; }
};

class PeriodicJournal : public ::testing::Test {
protected:
    vztest::TempDir dir_;
    const std::string journal_ = dir_.file("state/journal.sqlite");

    void addScript(const std::string& set, const std::string& name, const std::string& body) {
        fs::create_directories(dir_.file("cron." + set));
        vztest::writeScript(dir_.file("cron." + set + "/" + name), body);
    }

    // Starts the stand-in, before it `wrapper` (a program and its arguments) when given; its
    // standard input is a pipe that no one writes.
    void start(kx::Task& task, const std::string& set, std::vector<std::string> wrapper = {}) {
        wrapper.insert(wrapper.end(), {VZ_LIBEXEC_BUILD_DIR "/periodic", set});
        task.setLaunchPath(wrapper.front());
        task.setArguments({wrapper.begin() + 1, wrapper.end()});
        task.setEnvironment(std::vector<std::string>{"VIVOZI_PERIODIC_ROOT=" + dir_.path(),
                                                     "VIVOZI_JOURNAL=" + journal_});
        task.setStandardInput(kx::Stdio::pipe());
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
};

// Scripts run in byte order of their names (dotted ones not at all), each under umask 022 with
// the null device for input whatever ours; a failing one fails the set once every script ran.
// Long output passes on whole, and its last 64 KiB are kept.
TEST_F(PeriodicJournal, EachScriptsStatusAndOutputReachTheJournalAndOurOutput) {
    const std::string left = dir_.file("left"), flood(70000, 'x'),
                      kept(kx::kJournalOutputLimit, 'x');
    const struct {
        const char* name;
        std::string body;
        std::optional<int> exit, signal;
        std::string output;
    } scripts[] = {
        {"10-mixed", "echo 1; echo 2 >&2; echo 3\n", 0, {}, "1\n2\n3\n"},
        {"20-fails", "echo 'disk full' >&2; exit 3\n", 3, {}, "disk full\n"},
        {"30-killed", "echo bye; kill -KILL $$\n", {}, 9, "bye\n"},
        {"40-exit143", "exit 143\n", 143, {}, ""},
        {"Z-env", "echo $(umask) $(readlink /proc/self/fd/0)\n", 0, {}, "0022 /dev/null\n"},
        // A process left behind, holding the output, does not hold the run.
        {"a-leaves", "sleep 15 & echo $! > '" + left + "'; echo left\n", 0, {}, "left\n"},
        {"b-flood", "head -c 70000 /dev/zero | tr '\\0' x\n", 0, {}, kept},
    };
    for (const auto& script : scripts)
        addScript("daily", script.name, script.body);
    addScript("daily", "e.sh", "echo dotted\n");
    const auto began = std::chrono::steady_clock::now();
    const mode_t mask = umask(0);
    const Ran ran = run("daily");
    umask(mask);
    kill(std::stoi(vztest::readFile(left)), SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
    EXPECT_EQ(ran, (Ran{1, "1\n2\n3\ndisk full\nbye\n0022 /dev/null\nleft\n" + flood, ""}));
    const auto record = lastRun("daily");
    ASSERT_TRUE(record && record->ended && record->scripts.size() == std::size(scripts));
    EXPECT_EQ(record->outcome, RunOutcome::Failed);
    for (std::size_t k = 0; k < std::size(scripts); ++k) {
        const kx::ScriptRecord& row = record->scripts[k];
        EXPECT_EQ(std::tuple(row.path, row.exitStatus, row.signal, row.output),
                  std::tuple(dir_.file("cron.daily/") + scripts[k].name, scripts[k].exit,
                             scripts[k].signal, scripts[k].output));
        EXPECT_TRUE(row.ended && *row.ended >= row.started) << row.path;
    }
    EXPECT_EQ(record->scripts.back().omittedBytes, 70000 - kx::kJournalOutputLimit);
    EXPECT_NE(run("nosuch").status, 0);
    // A set folder that cannot be listed (that we may pass through, not read) fails.
    addScript("locked", "a", "echo ran\n");
    chmod(dir_.file("cron.locked").c_str(), 0311);
    const Ran locked = run("locked", kNoOverride);
    EXPECT_EQ(std::pair(locked.status, locked.out), std::pair(1, std::string()));
}

TEST_F(PeriodicJournal, ASecondRunOfASetUnderWayIsSkippedWithStatus75) {
    const std::string started = dir_.file("started"), go = dir_.file("go");
    addScript("daily", "hold",
              "touch '" + started + "'\nwhile [ ! -e '" + go + "' ]; do sleep 0.02; done\n");
    kx::Task first;
    first.setStandardOutput(kx::Stdio::nullDevice());
    start(first, "daily");
    // The run and its script show while the script runs, not only once the run is over.
    std::optional<kx::RunRecord> underWay;
    ASSERT_TRUE(vztest::eventually(
        [&] {
            return vztest::fileExists(started) && (underWay = lastRun("daily")) &&
                   underWay->scripts.size() == 1;
        },
        kWait));
    EXPECT_EQ(underWay->outcome, RunOutcome::Running);
    EXPECT_EQ(underWay->scripts[0].ended, std::nullopt);
    EXPECT_EQ(run("daily"), (Ran{75, "",
                                 "periodic: set 'daily' is already running (pid " +
                                     std::to_string(first.processIdentifier()) + ")\n"}));
    vztest::writeFile(go, "");
    first.waitUntilExit();
    EXPECT_EQ(first.terminationStatus(), 0);
}

TEST_F(PeriodicJournal, AJournalThatCannotBeUsedNeverStopsTheRun) {
    const std::string state = dir_.file("state");
    const struct {
        const char* name;
        std::function<void()> plant;
        std::vector<std::string> wrapper;
    } cases[] = {
        {"read-only folder", [&] { chmod(state.c_str(), 0500); }, kNoOverride},
        {"not a database", [&] { vztest::writeFile(journal_, std::string(8192, 'z')); }, {}},
        {"no folder can be made", [&] { fs::remove(state), vztest::writeFile(state, ""); }, {}},
    };
    addScript("daily", "a", "echo ran a\n");
    addScript("daily", "b", "echo ran b\n");
    for (const auto& c : cases) {
        fs::remove_all(state);
        fs::create_directory(state);
        chmod(state.c_str(), 0700);
        c.plant();
        const std::string before = vztest::readFile(journal_);
        EXPECT_EQ(run("daily", c.wrapper), (Ran{0, "ran a\nran b\n", ""})) << c.name;
        EXPECT_TRUE(vztest::readFile(journal_) == before) << c.name;
        chmod(state.c_str(), 0700);
    }
}

TEST_F(PeriodicJournal, ATerminatedRunIsRecordedCancelledAndStartsNoFurtherScript) {
    addScript("daily", "a", "echo going; touch '" + dir_.file("started") + "'; sleep 30\n");
    addScript("daily", "b", "touch '" + dir_.file("b-ran") + "'\n");
    kx::Task task;
    task.setStandardOutput(kx::Stdio::nullDevice());
    start(task, "daily");
    ASSERT_TRUE(
        vztest::eventually([&] { return vztest::fileExists(dir_.file("started")); }, kWait));
    task.terminate(); // the group: the stand-in and its script
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
    EXPECT_FALSE(vztest::fileExists(dir_.file("b-ran")));
    const auto record = lastRun("daily");
    ASSERT_TRUE(record && record->scripts.size() == 1);
    EXPECT_EQ(std::tuple(record->outcome, record->scripts[0].signal, record->scripts[0].output),
              std::tuple(RunOutcome::Cancelled, SIGTERM, "going\n"));
}

} // namespace
