#include "platform/defaults/UserDefaults.h"
#include "stress/support/FakeSystem.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using vztest::Wrong;

int fromEnvironment(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

// scripts/leak-check.sh runs this by name under LeakSanitizer or valgrind.
TEST(RepeatedQueries, EveryQueryLeavesNothingBehind) {
    vztest::FakeSystem system;
    const std::vector<vztest::Query> queries = vztest::everyQuery(system);
    // One round first: caches fill, the store is written and kept open, ICU loads its data.
    ASSERT_EQ(vztest::wrongAnswers(queries), Wrong{});
    const auto before = vztest::leftovers(system.folder());
    Wrong firstWrong;
    for (int round = fromEnvironment("VZ_QUERY_REPEAT", 100); round > 0; --round)
        firstWrong.merge(vztest::wrongAnswers(queries, round));
    EXPECT_EQ(firstWrong, Wrong{});
    EXPECT_EQ(vztest::leftovers(system.folder()), before);
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

// Tool runs, store reads and writes overlap, another thread emptying the version cache meanwhile.
TEST(Stress, SixteenThreadsCallEveryQueryAtOnce) {
    vztest::FakeSystem system;
    const std::vector<vztest::Query> queries = vztest::everyQuery(system);
    std::mutex mutex;
    Wrong firstWrong;
    std::vector<std::jthread> threads;
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([&, t](std::stop_token stop) {
            auto mine = queries; // each caller starts at a different query
            std::rotate(mine.begin(), mine.begin() + t % mine.size(), mine.end());
            while (!stop.stop_requested()) {
                Wrong wrong = vztest::wrongAnswers(mine, t);
                std::lock_guard lock(mutex);
                firstWrong.merge(wrong);
            }
        });
    threads.emplace_back([](std::stop_token stop) { // the next query runs sw_vers
        for (; !stop.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(20)))
            for (const char* key : {"KXCurrentSWVers", "KXCurrentSWVersDict"})
                kx::UserDefaults::standard().removeObjectForKey(key);
    });
    std::this_thread::sleep_for(std::chrono::seconds(fromEnvironment("VZ_STRESS_SECONDS", 10)));
    threads.clear(); // stops and joins them
    EXPECT_EQ(firstWrong, Wrong{});
    // Whatever the order of the writes, the store ends up holding the tool's answer or nothing.
    const auto cached = kx::UserDefaults::standard().stringForKey("KXCurrentSWVers");
    EXPECT_TRUE(!cached || *cached == "13.5");
}

} // namespace
