#include "platform/defaults/UserDefaults.h"
#include "stress/support/FakeSystem.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace {

int fromEnvironment(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text && std::atoi(text) > 0 ? std::atoi(text) : fallback;
}

void reportWrong(const std::map<std::string, std::string>& firstWrong) {
    for (const auto& [name, wrong] : firstWrong)
        ADD_FAILURE() << name << ": " << wrong;
}

// scripts/leak-check.sh runs this by name with a large VZ_QUERY_REPEAT, under LeakSanitizer or
// valgrind; the test itself catches descriptors, child processes and files left behind.
TEST(RepeatedQueries, EveryQueryLeavesNothingBehind) {
    vztest::FakeSystem system;
    const std::vector<vztest::Query> queries = vztest::everyQuery(system);
    // One round first: caches fill, the store is written and kept open, ICU loads its data.
    for (const vztest::Query& query : queries)
        ASSERT_EQ(query.run(0), "") << query.name;
    const auto before = vztest::leftovers(system.folder());

    std::map<std::string, std::string> firstWrong;
    const int repeat = fromEnvironment("VZ_QUERY_REPEAT", 100);
    for (int round = 0; round < repeat; ++round)
        for (const vztest::Query& query : queries)
            if (const std::string wrong = query.run(round); !wrong.empty())
                firstWrong.try_emplace(query.name, wrong);
    reportWrong(firstWrong);
    EXPECT_EQ(vztest::leftovers(system.folder()), before);
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

// Sixteen callers run every query at once, each starting at a different one, while another
// thread keeps emptying the version cache, so that tool runs, store reads and store writes all
// overlap.
TEST(Stress, SixteenThreadsCallEveryQueryAtOnce) {
    constexpr int kThreads = 16;
    vztest::FakeSystem system;
    const std::vector<vztest::Query> queries = vztest::everyQuery(system);

    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::map<std::string, std::string> firstWrong;
    std::vector<std::size_t> made(kThreads); // each caller counts in its own slot
    auto caller = [&](int index) {
        for (std::size_t i = static_cast<std::size_t>(index); !stop; ++i, ++made[index]) {
            const vztest::Query& query = queries[i % queries.size()];
            if (const std::string wrong = query.run(index); !wrong.empty()) {
                std::lock_guard lock(mutex);
                firstWrong.try_emplace(query.name, wrong);
            }
        }
    };
    std::atomic<long> cacheClears{0};
    auto clearer = [&] {
        while (!stop) {
            vztest::emptyVersionCache();
            ++cacheClears;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(caller, t);
    threads.emplace_back(clearer);
    std::this_thread::sleep_for(std::chrono::seconds(fromEnvironment("VZ_STRESS_SECONDS", 10)));
    stop = true;
    for (auto& thread : threads)
        thread.join();

    reportWrong(firstWrong);
    std::size_t total = 0;
    std::vector<bool> ran(queries.size()); // caller t ran queries t, t + 1, ... in turn
    for (std::size_t t = 0; t < made.size(); ++t) {
        total += made[t];
        for (std::size_t k = 0; k < std::min(made[t], queries.size()); ++k)
            ran[(t + k) % queries.size()] = true;
    }
    for (std::size_t i = 0; i < queries.size(); ++i)
        EXPECT_TRUE(ran[i]) << queries[i].name << " never ran";
    std::printf("%zu calls checked, %ld cache clears\n", total, cacheClears.load());
    EXPECT_GT(cacheClears.load(), 0);
    // Whatever the order of the writes, the store ends up holding the tool's answer or nothing.
    const auto cached = kx::UserDefaults::standard().stringForKey("KXCurrentSWVers");
    EXPECT_TRUE(!cached || *cached == "13.5");
}

} // namespace
