// The runner object's accessors: their defaults, what a run leaves alone, and their use from
// several threads at once.
#include "runner/ProgressPause.h"
#include "support/DbusDaemon.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Runner.h>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using Getter = std::optional<std::string> (VivoziZevidodiridFramework::*)() const;
using Setter = void (VivoziZevidodiridFramework::*)(std::optional<std::string>);
const std::pair<Getter, Setter> kStatuses[] = {
    {&VivoziZevidodiridFramework::dailyStatus, &VivoziZevidodiridFramework::setDailyStatus},
    {&VivoziZevidodiridFramework::weeklyStatus, &VivoziZevidodiridFramework::setWeeklyStatus},
    {&VivoziZevidodiridFramework::monthlyStatus, &VivoziZevidodiridFramework::setMonthlyStatus},
};

TEST(RunnerObject, StartsEmptyHoldsItsDelegateWeaklyAndARunKeepsTheStatuses) {
    VivoziZevidodiridFramework runner;
    EXPECT_FALSE(runner.shouldContinue());
    EXPECT_EQ(runner.delegate(), nullptr);
    EXPECT_EQ(runner.task(), nullptr);
    for (const auto& [get, set] : kStatuses)
        EXPECT_EQ((runner.*get)(), std::nullopt);

    auto delegate = std::make_shared<VivoziZevidodiridDelegate>();
    runner.setDelegate(delegate);
    EXPECT_EQ(runner.delegate(), delegate);
    delegate.reset();
    EXPECT_EQ(runner.delegate(), nullptr);

    // A run over a missing periodic touches no status, whichever the host set or cleared.
    vztest::NoBus noBus;
    vztest::TempDir dir;
    vztest::ScopedSystemPaths paths;
    paths.edit().periodic = dir.file("absent");
    paths.apply();
    const auto pause = vz::progressPause();
    vz::setProgressPause(std::chrono::nanoseconds(0));
    (runner.*kStatuses[0].second)("daily");
    (runner.*kStatuses[1].second)("weekly");
    (runner.*kStatuses[1].second)(std::nullopt);
    (runner.*kStatuses[2].second)("");
    PlistValue arguments = PlistValue::dictionary();
    arguments.setValueForKey("selectedScripts", PlistValue(PlistValue::Array{"daily", "monthly"}));
    runner.runWithArguments(arguments, [](const ResultList&) {});
    vz::setProgressPause(pause);
    EXPECT_EQ((runner.*kStatuses[0].first)(), "daily");
    EXPECT_EQ((runner.*kStatuses[1].first)(), std::nullopt);
    EXPECT_EQ((runner.*kStatuses[2].first)(), "");
}

// A host may set a status or the delegate while another thread reads it: every read sees one of
// the values written, whole. Texts longer than any short-string buffer, so a torn copy shows.
TEST(RunnerObject, StatusesAndDelegateMayBeUsedFromSeveralThreads) {
    VivoziZevidodiridFramework runner;
    const std::string texts[] = {std::string(100, 'a'), std::string(300, 'b')};
    const std::shared_ptr<VivoziZevidodiridDelegate> delegates[] = {
        std::make_shared<VivoziZevidodiridDelegate>(),
        std::make_shared<VivoziZevidodiridDelegate>()};
    std::atomic<bool> done{false};
    // A sanitizer build, many times slower, sees a race at once: the time bound is for it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    std::thread writer([&] {
        for (int i = 0; i < 1000000 && std::chrono::steady_clock::now() < deadline; ++i) {
            for (const auto& [get, set] : kStatuses)
                (runner.*set)(i % 3 ? std::optional(texts[i % 2]) : std::nullopt);
            runner.setDelegate(delegates[i % 2]);
        }
        done = true;
    });
    int torn = 0;
    while (!done) {
        for (const auto& [get, set] : kStatuses) {
            const auto status = (runner.*get)();
            torn += status && *status != texts[0] && *status != texts[1];
        }
        const auto delegate = runner.delegate();
        torn += delegate && delegate != delegates[0] && delegate != delegates[1];
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}

} // namespace
