#include "runner/RunnerTestSupport.h"
#include "support/DbusDaemon.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Runner.h>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;

const std::string kFailed = "Error running daily scripts";
const std::string kMissing = "Failed - periodic executable NOT present";

float currentProgress() {
    return std::atomic_ref<float>(progress).load();
}

// Keeps the record and `progress` at every broadcast, then optionally acts. Stamps "stamp 1",
// "stamp 2", ... instead of the date, to show where each came from, unless told otherwise.
class RecordingFramework : public VivoziZevidodiridFramework {
public:
    bool realDates = false;
    int stamps = 0;
    struct Snapshot {
        PlistValue record;
        float progress;
    };
    std::vector<Snapshot> snapshots;
    std::function<void(std::size_t broadcasts)> afterBroadcast;

    void processProgressData(const PlistValue& record) override {
        snapshots.push_back({record, currentProgress()});
        VivoziZevidodiridFramework::processProgressData(record);
        if (afterBroadcast)
            afterBroadcast(snapshots.size());
    }
    std::string currentDateForLocale() override {
        ++stamps;
        return realDates ? VivoziZevidodiridFramework::currentDateForLocale()
                         : "stamp " + std::to_string(stamps);
    }
    std::string status(std::size_t index) const {
        return std::string(snapshots.at(index).record["taskStatus"].stringValue().value_or("?"));
    }
};

PlistValue selected(const std::vector<PlistValue>& names) {
    PlistValue arguments = PlistValue::dictionary();
    arguments.setValueForKey("selectedScripts", PlistValue(PlistValue::Array(names)));
    return arguments;
}

struct Outcome {
    ResultList list;
    int replies = 0;
    bool repliedOnCallerThread = false;
    std::size_t broadcastsBeforeReply = 0;
    const PlistValue& record(std::size_t i = 0) const { return *list.at(i); }
};

class ScriptRun : public ::testing::Test {
protected:
    // A periodic that records its argument count, argument and environment; "fail*" exits 1,
    // "gate*" waits for the test's go-ahead, "hang*" waits for a long-running child of its own,
    // "flood*" writes 10 MiB to each stream.
    ScriptRun() {
        paths.edit().periodic = dir.file("periodic");
        paths.apply();
        vztest::writeScript(dir.file("periodic"), "PATH=/usr/bin:/bin\ndir='" + dir.path() + R"('
printf '%s:%s\n' "$#" "$1" >> "$dir/calls"
cat /proc/$$/environ > "$dir/env.$1"
case "$1" in
fail*) exit 1 ;;
gate*) : > "$dir/started.$1"
       while [ ! -e "$dir/go.$1" ]; do sleep 0.01; done
       : > "$dir/done.$1" ;;
hang*) sleep 300 &
       echo $! > "$dir/sleeper.tmp"; mv "$dir/sleeper.tmp" "$dir/sleeper.$1"
       wait ;;
flood*) head -c 10485760 /dev/zero; head -c 10485760 /dev/zero >&2 ;;
esac
exit 0
)");
    }

    Outcome run(RecordingFramework& runner, const PlistValue& arguments) {
        Outcome outcome;
        const auto caller = std::this_thread::get_id();
        runner.runWithArguments(arguments, [&](const ResultList& list) {
            ++outcome.replies;
            outcome.list = list;
            outcome.repliedOnCallerThread = std::this_thread::get_id() == caller;
            outcome.broadcastsBeforeReply = runner.snapshots.size();
        });
        return outcome;
    }

    Texts calls() const { return vztest::lines(vztest::readFile(dir.file("calls"))); }
    bool exists(const std::string& name) const { return vztest::fileExists(dir.file(name)); }
    bool waitFor(const std::string& name) const {
        return vztest::eventually([&] { return exists(name); });
    }

    // The progress broadcasts received so far, as texts.
    Texts texts() {
        Texts result;
        for (const kx::Notification& notification : vztest::receivedBeforeSentinel(observer)) {
            EXPECT_EQ(notification.name, kx::progressNotificationName);
            result.push_back(notification.object);
        }
        return result;
    }

    vztest::TempDir dir;
    vztest::ScopedSystemPaths paths;
    vztest::DbusDaemon bus;
    kx::NotificationObserver observer;
    vztest::ScopedProgressPause pause{0ns};
};

TEST_F(ScriptRun, ThreeScriptsSucceed) {
    RecordingFramework runner;
    runner.realDates = true;
    // A chatty script must not stall the run: its output goes nowhere.
    const Outcome outcome = run(runner, selected({"a", "flood", "c"}));

    EXPECT_EQ(outcome.replies, 1);
    EXPECT_TRUE(outcome.repliedOnCallerThread);
    EXPECT_EQ(outcome.broadcastsBeforeReply, 3u);
    ASSERT_EQ(outcome.list.size(), 3u);
    EXPECT_EQ(outcome.list[0], outcome.list[1]); // one record shared by every entry
    EXPECT_EQ(outcome.list[1], outcome.list[2]);

    const PlistValue& record = outcome.record();
    EXPECT_EQ(record.count(), 8u);
    const std::pair<const char*, const char*> strings[] = {
        {"firstTask", "a"}, {"name", "c"}, {"1", "a"}, {"2", "flood"}, {"3", "c"}};
    for (const auto& [key, value] : strings)
        EXPECT_TRUE(record[key].isEqualToString(value)) << key;
    ASSERT_NE(record["currentTask"].integer(), nullptr);
    EXPECT_EQ(record["currentTask"].integerValue(), 3);
    EXPECT_EQ(record["progress"].real(), 1.0);
    EXPECT_EQ(runner.snapshots[0].record["progress"].real(), static_cast<double>(1.0f / 3.0f));
    EXPECT_EQ(currentProgress(), 1.0f);
    EXPECT_TRUE(runner.shouldContinue());

    // Real date stamps here: anything but the failure texts.
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(runner.status(i).empty());
        EXPECT_NE(runner.status(i), kFailed);
        EXPECT_NE(runner.status(i), kMissing);
    }
    EXPECT_EQ(texts(), (Texts{"33|" + runner.status(0) + "|a", "67|" + runner.status(1) + "|flood",
                              "100|" + runner.status(2) + "|c"}));

    // One argument each, and not a single environment variable.
    EXPECT_EQ(calls(), (Texts{"1:a", "1:flood", "1:c"}));
    for (const std::string name : {"a", "flood", "c"}) {
        EXPECT_TRUE(exists("env." + name));
        EXPECT_EQ(vztest::readFile(dir.file("env." + name)), "");
    }
    const auto last = runner.task();
    ASSERT_NE(last, nullptr);
    EXPECT_FALSE(last->isRunning());
    EXPECT_EQ(last->terminationStatus(), 0);
}

TEST_F(ScriptRun, FailuresKeepTheLastSuccessAndShiftNoNumbering) {
    RecordingFramework runner;
    // A name that is not a string fails without starting anything.
    const Outcome outcome = run(runner, selected({"a", "fail-b", std::int64_t{5}, "d"}));

    ASSERT_EQ(runner.snapshots.size(), 4u);
    const auto& afterFailure = runner.snapshots[1];
    EXPECT_TRUE(afterFailure.record["taskStatus"].isEqualToString(kFailed));
    EXPECT_TRUE(afterFailure.record["name"].isEqualToString("fail-b"));
    EXPECT_EQ(afterFailure.record["progress"].real(), 0.25);
    EXPECT_EQ(afterFailure.progress, 0.25f);
    EXPECT_TRUE(afterFailure.record["2"].isAbsent());
    EXPECT_EQ(afterFailure.record["currentTask"].integerValue(), 1);

    ASSERT_EQ(outcome.list.size(), 4u);
    const PlistValue& record = outcome.record();
    EXPECT_TRUE(record["1"].isEqualToString("a"));
    EXPECT_TRUE(record["2"].isAbsent());
    EXPECT_TRUE(record["3"].isAbsent());
    EXPECT_TRUE(record["4"].isEqualToString("d"));
    EXPECT_EQ(record["currentTask"].integerValue(), 4);
    EXPECT_TRUE(record["taskStatus"].isEqualToString("stamp 2")); // one stamp per success
    EXPECT_EQ(texts(), (Texts{"25|stamp 1|a", "25|" + kFailed + "|fail-b", "25|" + kFailed + "|5",
                              "100|stamp 2|d"}));
    EXPECT_EQ(calls(), (Texts{"1:a", "1:fail-b", "1:d"}));
}

TEST_F(ScriptRun, ABrokenPeriodicFailsEveryScript) {
    // Missing: progress still advances; present but not startable: it counts as a failed script.
    const struct Case {
        const char* what;
        std::function<void(const std::string&)> make;
        std::string status;
        Texts percents;
    } cases[] = {
        {"missing", [](const std::string&) {}, kMissing, {"50", "100"}},
        {"not executable",
         [](const std::string& path) { vztest::writeFile(path, "#!/bin/sh\n"); },
         kFailed,
         {"0", "0"}},
        {"a folder",
         [](const std::string& path) { std::filesystem::create_directory(path); },
         kFailed,
         {"0", "0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir.file("periodic"));
        c.make(dir.file("periodic"));
        RecordingFramework runner;
        const Outcome outcome = run(runner, selected({"a", "b"}));
        EXPECT_EQ(outcome.replies, 1);
        ASSERT_EQ(outcome.list.size(), 2u);
        const PlistValue& record = outcome.record();
        EXPECT_EQ(record.count(), 4u); // progress, firstTask, name, taskStatus
        EXPECT_EQ(record["progress"].real(), 0.0);
        EXPECT_TRUE(record["firstTask"].isEqualToString("a"));
        EXPECT_TRUE(record["name"].isEqualToString("b"));
        EXPECT_TRUE(record["taskStatus"].isEqualToString(c.status));
        EXPECT_EQ(runner.stamps, 0);
        EXPECT_EQ(texts(), (Texts{c.percents[0] + "|" + c.status + "|a",
                                  c.percents[1] + "|" + c.status + "|b"}));
    }
}

TEST_F(ScriptRun, PeriodicIsLookedForAgainForEveryScript) {
    RecordingFramework runner;
    runner.afterBroadcast = [&](std::size_t broadcasts) {
        if (broadcasts == 1)
            std::filesystem::remove(dir.file("periodic"));
    };
    const Outcome outcome = run(runner, selected({"a", "b"}));
    ASSERT_EQ(outcome.list.size(), 2u);
    EXPECT_TRUE(outcome.record()["taskStatus"].isEqualToString(kMissing));
    EXPECT_EQ(outcome.record()["progress"].real(), 0.5);
    EXPECT_EQ(currentProgress(), 1.0f);
    EXPECT_EQ(texts(), (Texts{"50|stamp 1|a", "100|" + kMissing + "|b"}));
}

TEST_F(ScriptRun, NothingToRunStillRepliesOnce) {
    PlistValue aText = PlistValue::dictionary();
    aText.setValueForKey("selectedScripts", "daily");
    const std::pair<const char*, PlistValue> cases[] = {
        {"absent arguments", PlistValue()}, {"an empty list", selected({})}, {"a text", aText}};
    for (const auto& [what, arguments] : cases) {
        SCOPED_TRACE(what);
        std::atomic_ref<float>(progress).store(0.75f);
        RecordingFramework runner;
        const Outcome outcome = run(runner, arguments);
        EXPECT_EQ(outcome.replies, 1);
        EXPECT_TRUE(outcome.list.empty());
        EXPECT_EQ(currentProgress(), 0.0f);
        EXPECT_TRUE(runner.shouldContinue());
        EXPECT_TRUE(runner.snapshots.empty());
        EXPECT_TRUE(texts().empty());
    }
    EXPECT_FALSE(exists("calls"));
}

TEST_F(ScriptRun, CancelStopsTheScriptTreeAndFailsTheRest) {
    RecordingFramework runner;
    pid_t sleeper = 0;
    std::thread canceller([&] {
        if (!waitFor("sleeper.hang-b"))
            return;
        sleeper = std::stoi(vztest::readFile(dir.file("sleeper.hang-b")));
        runner.cancelVivoziZevidodirid();
    });
    const Outcome outcome = run(runner, selected({"a", "hang-b", "c"}));
    canceller.join();
    ASSERT_GT(sleeper, 0);

    // Started by periodic, not by us: only a terminate of the whole group reaches it.
    EXPECT_TRUE(vztest::eventually([&] { return !vztest::processAlive(sleeper); }));
    if (vztest::processAlive(sleeper))
        kill(sleeper, SIGKILL);

    ASSERT_EQ(outcome.list.size(), 3u);
    EXPECT_EQ(outcome.replies, 1);
    EXPECT_EQ(calls(), (Texts{"1:a", "1:hang-b", "1:c"})); // c still ran and exited 0
    EXPECT_EQ(currentProgress(), 1.0f / 3.0f);
    EXPECT_FALSE(runner.shouldContinue());
    EXPECT_EQ(texts(), (Texts{"33|" + runner.status(0) + "|a", "33|" + kFailed + "|hang-b",
                              "33|" + kFailed + "|c"}));
}

TEST_F(ScriptRun, ShouldContinueNoThenYesDuringARun) {
    RecordingFramework runner;
    std::thread host([&] {
        for (const auto& [gate, value] : {std::pair{"gate-a", false}, {"gate-b", true}}) {
            if (!waitFor(std::string("started.") + gate))
                return;
            runner.setShouldContinue(value);
            vztest::writeFile(dir.file(std::string("go.") + gate), "");
        }
    });
    const Outcome outcome = run(runner, selected({"gate-a", "gate-b", "c"}));
    host.join();

    EXPECT_TRUE(exists("done.gate-a")); // ran to its end, not terminated
    ASSERT_EQ(outcome.list.size(), 3u);
    EXPECT_TRUE(outcome.record()["1"].isAbsent());
    EXPECT_TRUE(outcome.record()["2"].isEqualToString("gate-b"));
    EXPECT_EQ(currentProgress(), 1.0f);
    EXPECT_EQ(texts(), (Texts{"0|" + kFailed + "|gate-a", "67|stamp 1|gate-b", "100|stamp 2|c"}));
}

TEST_F(ScriptRun, CancelBeforeAndAfterARun) {
    RecordingFramework runner;
    runner.cancelVivoziZevidodirid();
    EXPECT_FALSE(runner.shouldContinue());

    Outcome outcome = run(runner, selected({"a"}));
    EXPECT_TRUE(runner.shouldContinue());
    EXPECT_TRUE(outcome.record()["taskStatus"].isEqualToString("stamp 1"));

    const auto finished = runner.task();
    ASSERT_NE(finished, nullptr);
    runner.cancelVivoziZevidodirid();
    EXPECT_FALSE(runner.shouldContinue());
    EXPECT_EQ(runner.task(), finished);
    EXPECT_EQ(finished->terminationStatus(), 0); // the reaped child's outcome stands

    outcome = run(runner, selected({"b"}));
    EXPECT_TRUE(outcome.record()["taskStatus"].isEqualToString("stamp 2"));
    EXPECT_NE(runner.task(), finished);
}

TEST_F(ScriptRun, EveryBroadcastIsFollowedByAOneSecondPause) {
    vztest::ScopedProgressPause realPause{1s};
    VivoziZevidodiridFramework runner;
    // A host's own call before any run: percentage 0, missing fields as "(null)".
    std::atomic_ref<float>(progress).store(0.0f);
    const auto start = std::chrono::steady_clock::now();
    runner.processProgressData(PlistValue::dictionary());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 30s);
    EXPECT_EQ(texts(), Texts{"0|(null)|(null)"});
}

} // namespace
