#include "runner/RunnerTestSupport.h"
#include "support/DbusDaemon.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Runner.h>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr char kFailed[] = "Error running daily scripts";
constexpr char kMissing[] = "Failed - periodic executable NOT present";

float currentProgress() {
    return std::atomic_ref<float>(progress).load();
}

// Keeps a copy of the record and of `progress` at every broadcast, through the object's own
// dispatch, and optionally acts after each.
class RecordingFramework : public VivoziZevidodiridFramework {
public:
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

    std::string status(std::size_t index) const {
        return std::string(snapshots.at(index).record["taskStatus"].stringValue().value_or("?"));
    }
};

// Stamps "stamp 1", "stamp 2", ... instead of the date, to show where each came from.
class StampingFramework : public RecordingFramework {
public:
    int stamps = 0;
    std::string currentDateForLocale() override { return "stamp " + std::to_string(++stamps); }
};

PlistValue selected(const std::vector<PlistValue>& names) {
    PlistValue arguments = PlistValue::dictionary();
    arguments.setValueForKey("selectedScripts", PlistValue(PlistValue::Array(names)));
    return arguments;
}

std::vector<PlistValue> numberedNames(int count) {
    std::vector<PlistValue> names;
    for (int i = 1; i <= count; ++i)
        names.emplace_back("s" + std::to_string(i));
    return names;
}

using vztest::lines;
using vztest::processAlive;

struct Outcome {
    ResultList list;
    int replies = 0;
    bool repliedOnCallerThread = false;
    std::size_t broadcastsBeforeReply = 0;
};

class ScriptRun : public ::testing::Test {
protected:
    ScriptRun() {
        paths.edit().periodic = dir.file("periodic");
        paths.apply();
    }

    // A fake periodic that records its argument count, argument and environment, and acts on
    // the name: "fail*" exits 1, "gate*" waits for the test's go-ahead, "hang*" starts a
    // long-running script of its own and waits for it, "flood*" writes 10 MiB to each stream.
    void writeFakePeriodic() {
        vztest::writeScript(dir.file("periodic"), R"(PATH=/usr/bin:/bin
dir=')" + dir.path() + R"('
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

    std::vector<std::string> calls() const { return lines(vztest::readFile(dir.file("calls"))); }

    // The object texts of the progress broadcasts received so far.
    std::vector<std::string> texts() {
        std::vector<std::string> result;
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
    writeFakePeriodic();
    RecordingFramework runner;
    const Outcome outcome = run(runner, selected({"a", "b", "c"}));

    EXPECT_EQ(outcome.replies, 1);
    EXPECT_TRUE(outcome.repliedOnCallerThread);
    EXPECT_EQ(outcome.broadcastsBeforeReply, 3u);
    ASSERT_EQ(outcome.list.size(), 3u);
    EXPECT_EQ(outcome.list[0], outcome.list[1]);
    EXPECT_EQ(outcome.list[1], outcome.list[2]);

    const PlistValue& record = *outcome.list[0];
    EXPECT_EQ(record.count(), 8u);
    EXPECT_TRUE(record["firstTask"].isEqualToString("a"));
    EXPECT_TRUE(record["name"].isEqualToString("c"));
    EXPECT_TRUE(record["1"].isEqualToString("a"));
    EXPECT_TRUE(record["2"].isEqualToString("b"));
    EXPECT_TRUE(record["3"].isEqualToString("c"));
    ASSERT_NE(record["currentTask"].integer(), nullptr);
    EXPECT_EQ(record["currentTask"].integerValue(), 3);
    EXPECT_EQ(record["progress"].real(), 1.0);
    EXPECT_EQ(record["taskStatus"], runner.snapshots[2].record["taskStatus"]);
    EXPECT_EQ(runner.snapshots[0].record["progress"].real(), static_cast<double>(1.0f / 3.0f));
    EXPECT_EQ(currentProgress(), 1.0f);
    EXPECT_TRUE(runner.shouldContinue());

    for (std::size_t i = 0; i < 3; ++i) {
        const std::string status = runner.status(i);
        EXPECT_FALSE(status.empty());
        EXPECT_NE(status, kFailed);
        EXPECT_NE(status, kMissing);
    }
    EXPECT_EQ(texts(), (std::vector<std::string>{"33|" + runner.status(0) + "|a",
                                                 "67|" + runner.status(1) + "|b",
                                                 "100|" + runner.status(2) + "|c"}));

    // One argument each, and not a single environment variable.
    EXPECT_EQ(calls(), (std::vector<std::string>{"1:a", "1:b", "1:c"}));
    for (const char* name : {"a", "b", "c"}) {
        EXPECT_TRUE(vztest::fileExists(dir.file(std::string("env.") + name)));
        EXPECT_EQ(vztest::readFile(dir.file(std::string("env.") + name)), "");
    }

    const auto last = runner.task();
    ASSERT_NE(last, nullptr);
    EXPECT_FALSE(last->isRunning());
    EXPECT_EQ(last->terminationStatus(), 0);
}

TEST_F(ScriptRun, AFailedScriptKeepsTheLastSuccessAndShiftsNoNumbering) {
    writeFakePeriodic();
    StampingFramework runner;
    const Outcome outcome = run(runner, selected({"a", "fail-b", "c"}));

    ASSERT_EQ(runner.snapshots.size(), 3u);
    const auto& afterSecond = runner.snapshots[1];
    EXPECT_TRUE(afterSecond.record["taskStatus"].isEqualToString(kFailed));
    EXPECT_TRUE(afterSecond.record["name"].isEqualToString("fail-b"));
    EXPECT_EQ(afterSecond.record["progress"].real(), 0.3333333432674408); // 1/3 in single
    EXPECT_EQ(afterSecond.progress, 1.0f / 3.0f);
    EXPECT_TRUE(afterSecond.record["2"].isAbsent());
    EXPECT_EQ(afterSecond.record["currentTask"].integerValue(), 1);

    ASSERT_EQ(outcome.list.size(), 3u);
    const PlistValue& record = *outcome.list[2];
    EXPECT_TRUE(record["1"].isEqualToString("a"));
    EXPECT_TRUE(record["2"].isAbsent());
    EXPECT_TRUE(record["3"].isEqualToString("c"));
    EXPECT_EQ(record["currentTask"].integerValue(), 3);
    EXPECT_TRUE(record["taskStatus"].isEqualToString("stamp 2")); // one stamp per success
    EXPECT_EQ(texts(),
              (std::vector<std::string>{"33|stamp 1|a", "33|Error running daily scripts|fail-b",
                                        "100|stamp 2|c"}));
    EXPECT_EQ(calls().size(), 3u);
}

TEST_F(ScriptRun, MissingPeriodicAdvancesProgressButNotTheRecord) {
    StampingFramework runner; // no fake periodic written
    const Outcome outcome = run(runner, selected({"a", "b"}));

    ASSERT_EQ(outcome.list.size(), 2u);
    EXPECT_EQ(outcome.replies, 1);
    const PlistValue& record = *outcome.list[0];
    EXPECT_EQ(record.count(), 4u); // progress, firstTask, name, taskStatus
    EXPECT_EQ(record["progress"].real(), 0.0);
    EXPECT_TRUE(record["firstTask"].isEqualToString("a"));
    EXPECT_TRUE(record["name"].isEqualToString("b"));
    EXPECT_TRUE(record["taskStatus"].isEqualToString(kMissing));
    EXPECT_EQ(runner.snapshots[0].progress, 0.5f);
    EXPECT_EQ(currentProgress(), 1.0f);
    EXPECT_EQ(runner.stamps, 0);
    EXPECT_EQ(runner.task(), nullptr);
    EXPECT_EQ(texts(), (std::vector<std::string>{"50|" + std::string(kMissing) + "|a",
                                                 "100|" + std::string(kMissing) + "|b"}));
}

TEST_F(ScriptRun, PeriodicIsLookedForAgainForEveryScript) {
    writeFakePeriodic();
    StampingFramework runner;
    runner.afterBroadcast = [&](std::size_t broadcasts) {
        if (broadcasts == 1)
            std::filesystem::remove(dir.file("periodic"));
    };
    const Outcome outcome = run(runner, selected({"a", "b"}));

    ASSERT_EQ(outcome.list.size(), 2u);
    EXPECT_TRUE((*outcome.list[0])["taskStatus"].isEqualToString(kMissing));
    EXPECT_EQ((*outcome.list[0])["progress"].real(), 0.5);
    EXPECT_EQ(currentProgress(), 1.0f);
    EXPECT_EQ(texts(),
              (std::vector<std::string>{"50|stamp 1|a", "100|" + std::string(kMissing) + "|b"}));
}

TEST_F(ScriptRun, APeriodicThatCannotStartCountsAsAFailedScript) {
    struct Case {
        const char* what;
        std::function<void(const std::string&)> make;
    } cases[] = {
        {"not executable", [](const std::string& path) { vztest::writeFile(path, "#!/bin/sh\n"); }},
        {"a folder", [](const std::string& path) { std::filesystem::create_directory(path); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(dir.file("periodic"));
        c.make(dir.file("periodic"));
        StampingFramework runner;
        const Outcome outcome = run(runner, selected({"a", "b"}));
        EXPECT_EQ(outcome.replies, 1);
        ASSERT_EQ(outcome.list.size(), 2u);
        EXPECT_TRUE((*outcome.list[0])["taskStatus"].isEqualToString(kFailed));
        EXPECT_EQ(currentProgress(), 0.0f);
        EXPECT_EQ(texts(), (std::vector<std::string>{"0|Error running daily scripts|a",
                                                     "0|Error running daily scripts|b"}));
    }
}

TEST_F(ScriptRun, AnEntryThatIsNotAStringFailsWithoutStartingAnything) {
    writeFakePeriodic();
    StampingFramework runner;
    const Outcome outcome = run(runner, selected({"a", std::int64_t{5}, "c"}));

    EXPECT_EQ(calls(), (std::vector<std::string>{"1:a", "1:c"}));
    ASSERT_EQ(outcome.list.size(), 3u);
    const PlistValue& record = *outcome.list[0];
    EXPECT_TRUE(record["2"].isAbsent());
    EXPECT_TRUE(record["3"].isEqualToString("c"));
    EXPECT_EQ(texts(), (std::vector<std::string>{"33|stamp 1|a", "33|Error running daily scripts|5",
                                                 "100|stamp 2|c"}));
}

TEST_F(ScriptRun, NothingToRunStillRepliesOnce) {
    writeFakePeriodic();
    PlistValue withoutKey = PlistValue::dictionary();
    withoutKey.setValueForKey("other", "x");
    PlistValue aText = PlistValue::dictionary();
    aText.setValueForKey("selectedScripts", "daily");
    PlistValue aDictionary = PlistValue::dictionary();
    aDictionary.setValueForKey("selectedScripts", withoutKey);
    const struct Case {
        const char* what;
        PlistValue arguments;
    } cases[] = {
        {"absent arguments", PlistValue()}, {"no selectedScripts", withoutKey},
        {"an empty list", selected({})},    {"a text", aText},
        {"a dictionary", aDictionary},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::atomic_ref<float>(progress).store(0.75f);
        RecordingFramework runner;
        const Outcome outcome = run(runner, c.arguments);
        EXPECT_EQ(outcome.replies, 1);
        EXPECT_TRUE(outcome.list.empty());
        EXPECT_EQ(currentProgress(), 0.0f);
        EXPECT_TRUE(runner.shouldContinue());
        EXPECT_TRUE(runner.snapshots.empty());
        EXPECT_EQ(runner.task(), nullptr);
        EXPECT_TRUE(texts().empty());
    }
    EXPECT_FALSE(vztest::fileExists(dir.file("calls")));
}

TEST_F(ScriptRun, PercentagesRoundHalfToEvenInSinglePrecision) {
    writeFakePeriodic();
    {
        StampingFramework runner;
        run(runner, selected(numberedNames(8)));
        std::vector<std::string> percents;
        for (const std::string& text : texts())
            percents.push_back(text.substr(0, text.find('|')));
        EXPECT_EQ(percents,
                  (std::vector<std::string>{"12", "25", "38", "50", "62", "75", "88", "100"}));
    }
    {
        StampingFramework runner;
        run(runner, selected(numberedNames(40)));
        const std::vector<std::string> received = texts();
        ASSERT_EQ(received.size(), 40u);
        EXPECT_EQ(received[0], "2|stamp 1|s1");  // 2.5 -> 2
        EXPECT_EQ(received[6], "18|stamp 7|s7"); // 17.5 -> 18
        EXPECT_EQ(received[39], "100|stamp 40|s40");
    }
}

TEST_F(ScriptRun, CancelStopsTheScriptTreeAndFailsTheRest) {
    writeFakePeriodic();
    RecordingFramework runner;
    pid_t sleeper = 0;
    std::thread canceller([&] {
        if (!vztest::eventually([&] { return vztest::fileExists(dir.file("sleeper.hang-b")); }))
            return;
        sleeper = std::stoi(vztest::readFile(dir.file("sleeper.hang-b")));
        runner.cancelVivoziZevidodirid();
    });
    const Outcome outcome = run(runner, selected({"a", "hang-b", "c"}));
    canceller.join();
    ASSERT_GT(sleeper, 0);

    // Started by periodic, not by us: only a terminate of the whole group reaches it.
    EXPECT_TRUE(vztest::eventually([&] { return !processAlive(sleeper); }));
    if (processAlive(sleeper))
        kill(sleeper, SIGKILL);

    ASSERT_EQ(outcome.list.size(), 3u);
    EXPECT_EQ(outcome.replies, 1);
    EXPECT_EQ(runner.status(1), kFailed);
    EXPECT_EQ(runner.status(2), kFailed); // c still ran and exited 0
    EXPECT_EQ(calls(), (std::vector<std::string>{"1:a", "1:hang-b", "1:c"}));
    EXPECT_EQ(currentProgress(), 1.0f / 3.0f);
    EXPECT_FALSE(runner.shouldContinue());
    EXPECT_EQ(texts(), (std::vector<std::string>{"33|" + runner.status(0) + "|a",
                                                 "33|Error running daily scripts|hang-b",
                                                 "33|Error running daily scripts|c"}));
}

TEST_F(ScriptRun, ShouldContinueNoThenYesDuringARun) {
    writeFakePeriodic();
    StampingFramework runner;
    std::thread host([&] {
        if (!vztest::eventually([&] { return vztest::fileExists(dir.file("started.gate-a")); }))
            return;
        runner.setShouldContinue(false);
        vztest::writeFile(dir.file("go.gate-a"), "");
        if (!vztest::eventually([&] { return vztest::fileExists(dir.file("started.gate-b")); }))
            return;
        runner.setShouldContinue(true);
        vztest::writeFile(dir.file("go.gate-b"), "");
    });
    const Outcome outcome = run(runner, selected({"gate-a", "gate-b", "c"}));
    host.join();

    EXPECT_TRUE(vztest::fileExists(dir.file("done.gate-a"))); // ran to its end, not terminated
    ASSERT_EQ(outcome.list.size(), 3u);
    const PlistValue& record = *outcome.list[0];
    EXPECT_TRUE(record["1"].isAbsent());
    EXPECT_TRUE(record["2"].isEqualToString("gate-b"));
    EXPECT_TRUE(record["3"].isEqualToString("c"));
    EXPECT_EQ(currentProgress(), 1.0f);
    EXPECT_EQ(texts(), (std::vector<std::string>{"0|Error running daily scripts|gate-a",
                                                 "67|stamp 1|gate-b", "100|stamp 2|c"}));
}

TEST_F(ScriptRun, AChattyScriptCannotStallTheRun) {
    writeFakePeriodic();
    StampingFramework runner;
    const Outcome outcome = run(runner, selected({"flood"}));
    ASSERT_EQ(outcome.list.size(), 1u);
    EXPECT_TRUE((*outcome.list[0])["taskStatus"].isEqualToString("stamp 1"));
}

TEST_F(ScriptRun, CancelBeforeAndAfterARun) {
    writeFakePeriodic();
    StampingFramework runner;
    runner.cancelVivoziZevidodirid();
    EXPECT_FALSE(runner.shouldContinue());
    EXPECT_EQ(runner.task(), nullptr);

    Outcome outcome = run(runner, selected({"a"}));
    EXPECT_TRUE(runner.shouldContinue());
    EXPECT_TRUE((*outcome.list[0])["taskStatus"].isEqualToString("stamp 1"));

    const auto finished = runner.task();
    ASSERT_NE(finished, nullptr);
    runner.cancelVivoziZevidodirid();
    EXPECT_FALSE(runner.shouldContinue());
    EXPECT_EQ(runner.task(), finished);
    EXPECT_EQ(finished->terminationStatus(), 0); // the reaped child's outcome stands

    outcome = run(runner, selected({"b"}));
    EXPECT_TRUE((*outcome.list[0])["taskStatus"].isEqualToString("stamp 2"));
    EXPECT_NE(runner.task(), finished);
}

TEST_F(ScriptRun, EveryBroadcastIsFollowedByAOneSecondPause) {
    writeFakePeriodic();
    vztest::ScopedProgressPause realPause{1s};
    VivoziZevidodiridFramework runner;

    // A host's own call before any run: percentage 0, missing fields as "(null)".
    std::atomic_ref<float>(progress).store(0.0f);
    auto start = std::chrono::steady_clock::now();
    runner.processProgressData(PlistValue::dictionary());
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 30s);

    int replies = 0;
    start = std::chrono::steady_clock::now();
    runner.runWithArguments(selected({"a"}), [&](const ResultList&) { ++replies; });
    elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(replies, 1);
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 30s);

    const std::vector<std::string> received = texts();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], "0|(null)|(null)");
    EXPECT_EQ(received[1].substr(0, 4), "100|");
}

} // namespace
