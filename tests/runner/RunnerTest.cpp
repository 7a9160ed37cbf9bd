#include "runner/ProgressPause.h"
#include "runner/ProgressText.h"
#include "support/DbusDaemon.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Notifications.h>
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

template <class F> bool eventually(F condition) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return condition();
}

// Stamps "stamp N" instead of the date, to show which success set the status.
struct StampingFramework : VivoziZevidodiridFramework {
    int stamps = 0;
    std::string currentDateForLocale() override { return "stamp " + std::to_string(++stamps); }
};

PlistValue selected(const std::vector<PlistValue>& names) {
    PlistValue arguments = PlistValue::dictionary();
    arguments.setValueForKey("selectedScripts", PlistValue(PlistValue::Array(names)));
    return arguments;
}

// A periodic recording its arguments and environment; "fail*" exits 1, "hang*" waits on a child
// of its own, "nap*" sleeps 3 s, "flood*" writes 10 MiB to each stream.
class ScriptRun : public ::testing::Test {
protected:
    ScriptRun() {
        paths.edit().periodic = dir.file("periodic");
        paths.apply();
        vz::setProgressPause(0ns);
        vztest::writeScript(dir.file("periodic"), "PATH=/usr/bin:/bin\ndir='" + dir.path() + R"('
printf '%s:%s\n' "$#" "$1" >> "$dir/calls"
cat /proc/$$/environ > "$dir/env.$1"
case "$1" in
fail*) exit 1 ;;
hang*) sleep 300 & echo $! > "$dir/sleeper.tmp"; mv "$dir/sleeper.tmp" "$dir/sleeper"; wait ;;
nap*) sleep 3 ;;
flood*) head -c 10485760 /dev/zero; head -c 10485760 /dev/zero >&2 ;;
esac
)");
    }
    ~ScriptRun() override { vz::setProgressPause(savedPause); }

    // Every run replies exactly once, on the caller's thread.
    ResultList run(VivoziZevidodiridFramework& runner, const PlistValue& arguments) {
        ResultList result;
        int replies = 0;
        const auto caller = std::this_thread::get_id();
        runner.runWithArguments(arguments, [&](const ResultList& list) {
            ++replies;
            result = list;
            EXPECT_EQ(std::this_thread::get_id(), caller);
        });
        EXPECT_EQ(replies, 1);
        return result;
    }

    Texts calls() const { return vztest::lines(vztest::readFile(dir.file("calls"))); }

    // The progress broadcasts received before a sentinel posted here: the bus keeps order.
    Texts texts() {
        kx::DistributedNotificationCenter::defaultCenter().postNotification("vztest.end", "");
        Texts received;
        while (auto notification = observer.next(30s)) {
            if (notification->name == "vztest.end")
                break;
            EXPECT_EQ(notification->name, kx::progressNotificationName);
            received.push_back(notification->object);
        }
        return received;
    }

    vztest::TempDir dir;
    vztest::ScopedSystemPaths paths;
    vztest::DbusDaemon bus;
    kx::NotificationObserver observer;
    std::chrono::nanoseconds savedPause = vz::progressPause();
};

TEST_F(ScriptRun, ThreeScriptsSucceed) {
    StampingFramework runner;
    // A chatty script must not stall the run: its output goes to the null device.
    const ResultList list = run(runner, selected({"a", "flood", "c"}));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], list[2]); // one record shared by every entry
    // clang-format off
    const PlistValue expected(PlistValue::Dictionary{{"firstTask", "a"}, {"name", "c"}, {"1", "a"},
        {"2", "flood"}, {"3", "c"}, {"currentTask", std::int64_t{3}}, {"progress", 1.0},
        {"taskStatus", "stamp 3"}});
    // clang-format on
    EXPECT_EQ(*list[0], expected);
    EXPECT_EQ(texts(), (Texts{"33|stamp 1|a", "67|stamp 2|flood", "100|stamp 3|c"}));
    EXPECT_EQ(calls(), (Texts{"1:a", "1:flood", "1:c"}));
    for (const std::string name : {"a", "flood", "c"}) // an empty environment
        EXPECT_TRUE(vztest::fileExists(dir.file("env." + name)) &&
                    vztest::readFile(dir.file("env." + name)).empty());
}

TEST_F(ScriptRun, FailuresKeepTheLastSuccessAndShiftNoNumbering) {
    StampingFramework runner;
    // A name that is not a string fails without starting anything.
    const ResultList list = run(runner, selected({"a", "fail-b", std::int64_t{5}, "d"}));
    ASSERT_EQ(list.size(), 4u);
    EXPECT_TRUE((*list[0])["2"].isAbsent());
    EXPECT_TRUE((*list[0])["4"].isEqualToString("d"));
    EXPECT_EQ(texts(), (Texts{"25|stamp 1|a", "25|" + kFailed + "|fail-b", "25|" + kFailed + "|5",
                              "100|stamp 2|d"}));
    EXPECT_EQ(calls(), (Texts{"1:a", "1:fail-b", "1:d"}));
}

TEST_F(ScriptRun, MissingPeriodicFailsEveryScriptButProgressAdvances) {
    std::filesystem::remove(dir.file("periodic"));
    StampingFramework runner;
    EXPECT_EQ(run(runner, selected({"a", "b"})).size(), 2u);
    EXPECT_EQ(texts(), (Texts{"50|" + kMissing + "|a", "100|" + kMissing + "|b"}));
}

TEST_F(ScriptRun, NothingToRunStillRepliesOnce) {
    PlistValue aText = PlistValue::dictionary();
    aText.setValueForKey("selectedScripts", "daily");
    for (const PlistValue& arguments : {PlistValue(), selected({}), aText}) {
        std::atomic_ref<float>(progress).store(0.75f);
        StampingFramework runner;
        EXPECT_TRUE(run(runner, arguments).empty());
        EXPECT_EQ(std::atomic_ref<float>(progress).load(), 0.0f);
        EXPECT_TRUE(texts().empty());
    }
    EXPECT_TRUE(calls().empty());
}

TEST_F(ScriptRun, CancelStopsTheScriptTreeAndFailsTheRest) {
    StampingFramework runner;
    pid_t sleeper = 0;
    std::thread canceller([&] {
        if (!eventually([&] { return vztest::fileExists(dir.file("sleeper")); }))
            return;
        sleeper = std::stoi(vztest::readFile(dir.file("sleeper")));
        runner.cancelVivoziZevidodirid();
    });
    const ResultList list = run(runner, selected({"a", "hang-b", "c"}));
    canceller.join();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_TRUE((*list[0])["name"].isEqualToString("c"));
    EXPECT_TRUE((*list[0])["taskStatus"].isEqualToString(kFailed));
    EXPECT_EQ(calls(), (Texts{"1:a", "1:hang-b"})); // nothing started after the cancel
    ASSERT_GT(sleeper, 0);
    // Started by periodic, not by us: only a terminate of the whole group reaches it.
    EXPECT_TRUE(eventually([&] { return !vztest::processAlive(sleeper); }));
    if (vztest::processAlive(sleeper))
        kill(sleeper, SIGKILL);
    EXPECT_EQ(texts(),
              (Texts{"33|stamp 1|a", "33|" + kFailed + "|hang-b", "33|" + kFailed + "|c"}));
}

// A cancel from the moment the run has begun (it resets `progress` first) stops the script or
// keeps it from starting, wherever it falls; the nap would otherwise take 3 s. periodic is reached
// through a chain of links over long paths, so that every run spends about 2 ms between its start
// and the launch, and many cancels fall there.
TEST_F(ScriptRun, ACancelFromTheStartOfARunIsNeverLost) {
    std::string dots;
    while (dir.path().size() + dots.size() < 3900)
        dots += "/.";
    for (int link = 0; link < 35; ++link)
        std::filesystem::create_symlink(dir.path() + dots + "/link" + std::to_string(link + 1),
                                        dir.file("link" + std::to_string(link)));
    std::filesystem::create_symlink("periodic", dir.file("link35"));
    paths.edit().periodic = dir.file("link0");
    paths.apply();
    for (int round = 0; round < 200; ++round) {
        StampingFramework runner;
        std::atomic_ref<float>(progress).store(1.0f);
        std::thread canceller([&] {
            while (std::atomic_ref<float>(progress).load() != 0.0f)
                std::this_thread::sleep_for(10us);
            if (round % 8)
                std::this_thread::sleep_for(round % 8 * 300us);
            runner.cancelVivoziZevidodirid();
        });
        const auto start = std::chrono::steady_clock::now();
        const ResultList list = run(runner, selected({"nap"}));
        canceller.join();
        ASSERT_LT(std::chrono::steady_clock::now() - start, 2s) << "round " << round;
        ASSERT_TRUE((*list.at(0))["taskStatus"].isEqualToString(kFailed)) << "round " << round;
    }
}

TEST(RunnerObject, CancelBeforeTheChildStartedStillStopsIt) {
    struct Subclass : VivoziZevidodiridFramework {
        std::shared_ptr<kx::Task> replacement = std::make_shared<kx::Task>();
        std::shared_ptr<kx::Task> task() const override { return replacement; }
    } runner;
    kx::Task& task = *runner.replacement;
    task.setLaunchPath("/bin/sleep");
    task.setArguments({"30"});
    runner.cancelVivoziZevidodirid();
    ASSERT_FALSE(task.launch());
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
}

TEST(ProgressText, SinglePrecisionPercentRoundedHalfToEvenAndNullFields) {
    const struct {
        float fraction;
        PlistValue status, name;
        const char* text;
    } cases[] = {
        {2.0f / 3.0f, "Friday", "daily", "67|Friday|daily"},
        {1.0f / 40.0f, "s", "n", "2|s|n"},  // exactly 2.5f; 3 in double precision
        {7.0f / 40.0f, "s", "n", "18|s|n"}, // exactly 17.5f; 17 in double precision
        {0.5f, PlistValue(), PlistValue::dictionary(), "50|(null)|(null)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vz::progressText(c.fraction, c.status, c.name), c.text);
}

TEST_F(ScriptRun, EveryBroadcastIsFollowedByAOneSecondPause) {
    vz::setProgressPause(1s);
    std::atomic_ref<float>(progress).store(0.0f);
    const auto start = std::chrono::steady_clock::now();
    VivoziZevidodiridFramework().processProgressData(PlistValue::dictionary());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(texts(), Texts{"0|(null)|(null)"});
}

} // namespace
