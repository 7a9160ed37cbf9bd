#include "runner/ProgressPause.h"
#include "runner/ProgressText.h"
#include "support/DbusDaemon.h"

#include <VivoziZevidodirid/Notifications.h>
#include <VivoziZevidodirid/Runner.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Texts = std::vector<std::string>;
using D = PlistValue::Dictionary;
using E = D::value_type; // an entry, written E(key, value) to keep a record to two lines

const std::string kFailed = "Error running daily scripts";
const std::string kMissing = "Failed - periodic executable NOT present";

// Daily, weekly and monthly.
using Statuses = std::array<std::optional<std::string>, 3>;
Statuses statusesOf(const VivoziZevidodiridFramework& runner) {
    return {runner.dailyStatus(), runner.weeklyStatus(), runner.monthlyStatus()};
}
void setStatuses(VivoziZevidodiridFramework& runner, const Statuses& statuses) {
    runner.setDailyStatus(statuses[0]);
    runner.setWeeklyStatus(statuses[1]);
    runner.setMonthlyStatus(statuses[2]);
}

// Stamps "stamp N" instead of the date, to show which success set the status.
struct StampingFramework : VivoziZevidodiridFramework {
    int stamps = 0;
    std::string currentDateForLocale() override { return "stamp " + std::to_string(++stamps); }
};

PlistValue selected(const std::vector<PlistValue>& names) {
    return D{{"selectedScripts", PlistValue::Array(names)}};
}

float progressNow() {
    return std::atomic_ref<float>(progress).load();
}

// A periodic noting its calls and environment: "fail*" exits 1, "hang*" waits on its own child,
// "nap*" sleeps 3 s, "flood*" writes 10 MiB to each stream.
class ScriptRun : public ::testing::Test {
protected:
    ScriptRun() {
        paths.set(&kx::SystemPaths::periodic, dir.file("periodic"));
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

// A failure keeps the last success and shifts no numbering; progress advances without periodic.
TEST_F(ScriptRun, EachScriptRecordedBroadcastAndRunWithAnEmptyEnvironment) {
    const struct {
        PlistValue arguments;
        bool periodic;
        Texts texts, calls;
        PlistValue record; // shared by every entry of the list
        float progress;
    } cases[] = {
        {selected({"a", "flood", "c"}), true,
         Texts{"33|stamp 1|a", "67|stamp 2|flood", "100|stamp 3|c"}, Texts{"1:a", "1:flood", "1:c"},
         D{E("firstTask", "a"), E("name", "c"), E("1", "a"), E("2", "flood"), E("3", "c"),
           E("currentTask", std::int64_t{3}), E("progress", 1.0), E("taskStatus", "stamp 3")},
         1.0f},
        {selected({"a", "fail-b", std::int64_t{5}, "d"}), true,
         Texts{"25|stamp 1|a", "25|" + kFailed + "|fail-b", "25|" + kFailed + "|5",
               "100|stamp 2|d"},
         Texts{"1:a", "1:fail-b", "1:d"},
         D{E("firstTask", "a"), E("name", "d"), E("1", "a"), E("4", "d"),
           E("currentTask", std::int64_t{4}), E("progress", 1.0), E("taskStatus", "stamp 2")},
         1.0f},
        {selected({"a", "b"}), false, Texts{"50|" + kMissing + "|a", "100|" + kMissing + "|b"},
         Texts{}, D{{"firstTask", "a"}, {"name", "b"}, {"progress", 0.0}, {"taskStatus", kMissing}},
         1.0f},
        {D{{"selectedScripts", "daily"}}, true, Texts{}, Texts{}, PlistValue(), 0.0f},
    };
    const Statuses statuses = {"daily", std::nullopt, ""};
    for (const auto& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        std::filesystem::remove(dir.file("calls"));
        paths.set(&kx::SystemPaths::periodic, dir.file(c.periodic ? "periodic" : "absent"));
        std::atomic_ref<float>(progress).store(0.75f);
        StampingFramework runner;
        setStatuses(runner, statuses);
        const ResultList list = run(runner, c.arguments);
        EXPECT_EQ(list.size(), c.texts.size());
        EXPECT_EQ(list.empty() ? PlistValue() : *list[0], c.record);
        EXPECT_EQ(std::count(list.begin(), list.end(), list.empty() ? nullptr : list[0]),
                  static_cast<std::ptrdiff_t>(list.size()));
        EXPECT_EQ(progressNow(), c.progress);
        EXPECT_EQ(texts(), c.texts);
        EXPECT_EQ(calls(), c.calls);
        for (const std::string& call : c.calls) // the environment is empty
            EXPECT_EQ(vztest::readFile(dir.file("env." + call.substr(2))), "");
        EXPECT_EQ(statusesOf(runner), statuses);
    }
}

TEST_F(ScriptRun, CancelStopsTheScriptTreeAndFailsTheRest) {
    StampingFramework runner;
    pid_t sleeper = 0;
    std::thread canceller([&] {
        if (!vztest::eventually([&] { return vztest::fileExists(dir.file("sleeper")); }))
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
    EXPECT_TRUE(vztest::eventually([&] { return !vztest::processAlive(sleeper); }));
    kill(sleeper, SIGKILL);
}

// From the reset of `progress` on, a cancel stops the 3 s nap or keeps it from starting. Long link
// chains to periodic put about 2 ms between a run's start and its launch, where many cancels fall.
TEST_F(ScriptRun, ACancelFromTheStartOfARunIsNeverLost) {
    std::string dots;
    while (dir.path().size() + dots.size() < 3900)
        dots += "/.";
    for (int link = 0; link < 35; ++link)
        std::filesystem::create_symlink(dir.path() + dots + "/link" + std::to_string(link + 1),
                                        dir.file("link" + std::to_string(link)));
    std::filesystem::create_symlink("periodic", dir.file("link35"));
    paths.set(&kx::SystemPaths::periodic, dir.file("link0"));
    for (int round = 0; round < 200; ++round) {
        StampingFramework runner;
        std::atomic_ref<float>(progress).store(1.0f);
        // A canceller kept off the processor past the nap fails the round instead of waiting on.
        std::atomic<bool> ended = false;
        std::thread canceller([&] {
            while (progressNow() != 0.0f && !ended)
                std::this_thread::sleep_for(10us);
            std::this_thread::sleep_for(round % 8 * 300us);
            runner.cancelVivoziZevidodirid();
        });
        const auto start = std::chrono::steady_clock::now();
        const ResultList list = run(runner, selected({"nap"}));
        ended = true;
        canceller.join();
        ASSERT_LT(std::chrono::steady_clock::now() - start, 2s) << "round " << round;
        ASSERT_TRUE((*list.at(0))["taskStatus"].isEqualToString(kFailed)) << "round " << round;
    }
}

// 1/40 and 7/40 give exactly 2.5f and 17.5f: 3 and 17 in double precision.
TEST_F(ScriptRun, ABroadcastHasTheSinglePrecisionPercentHalfToEvenAndIsFollowedByAPause) {
    EXPECT_EQ(vz::progressText(1.0f / 40.0f, "s", "n"), "2|s|n");
    EXPECT_EQ(vz::progressText(7.0f / 40.0f, "s", "n"), "18|s|n");
    vz::setProgressPause(1s);
    std::atomic_ref<float>(progress).store(0.0f);
    const auto start = std::chrono::steady_clock::now();
    VivoziZevidodiridFramework().processProgressData(PlistValue::dictionary());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(texts(), Texts{"0|(null)|(null)"});
}

TEST(RunnerObject, StartsEmptyHoldsItsDelegateWeaklyAndACancelReachesAChildNotYetStarted) {
    struct Subclass : VivoziZevidodiridFramework {
        std::shared_ptr<kx::Task> replacement = std::make_shared<kx::Task>();
        std::shared_ptr<kx::Task> task() const override { return replacement; }
    } runner;
    VivoziZevidodiridFramework plain;
    EXPECT_FALSE(plain.shouldContinue());
    EXPECT_EQ(plain.task(), nullptr);
    EXPECT_EQ(statusesOf(plain), Statuses{});
    EXPECT_EQ(plain.delegate(), nullptr);
    auto delegate = std::make_shared<VivoziZevidodiridDelegate>();
    plain.setDelegate(delegate);
    EXPECT_EQ(plain.delegate(), delegate);
    delegate.reset();
    EXPECT_EQ(plain.delegate(), nullptr);

    kx::Task& task = *runner.replacement;
    task.setLaunchPath("/bin/sleep");
    task.setArguments({"30"});
    runner.cancelVivoziZevidodirid();
    ASSERT_FALSE(task.launch());
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
}

// Every read sees one value written, whole; texts beyond a short-string buffer, so a tear shows.
TEST(RunnerObject, StatusesAndDelegateMayBeUsedFromSeveralThreads) {
    VivoziZevidodiridFramework runner;
    const std::string texts[] = {std::string(100, 'a'), std::string(300, 'b')};
    const std::shared_ptr<VivoziZevidodiridDelegate> delegates[] = {
        std::make_shared<VivoziZevidodiridDelegate>(),
        std::make_shared<VivoziZevidodiridDelegate>()};
    std::atomic<bool> done{false};
    // A sanitizer build, many times slower, sees a race at once: the time bound is for it.
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    std::thread writer([&] {
        for (int i = 0; i < 1000000 && std::chrono::steady_clock::now() < deadline; ++i) {
            const auto text = i % 3 ? std::optional(texts[i % 2]) : std::nullopt;
            setStatuses(runner, {text, text, text});
            runner.setDelegate(delegates[i % 2]);
        }
        done = true;
    });
    int torn = 0;
    while (!done) {
        for (const auto& status : statusesOf(runner))
            torn += status && *status != texts[0] && *status != texts[1];
        const auto delegate = runner.delegate();
        torn += delegate && delegate != delegates[0] && delegate != delegates[1];
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}

} // namespace
