#include "platform/defaults/UserDefaults.h"
#include "stress/support/FakeSystem.h"

#include <atomic>
#include <chrono>
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

// scripts/leak-check.sh runs this by name with a large VZ_QUERY_REPEAT under LeakSanitizer or
// valgrind; the test itself catches descriptors, child processes and files left behind.
TEST(RepeatedQueries, EveryQueryLeavesNothingBehind) {
    vztest::FakeSystem system;
    const std::vector<vztest::Query> queries = vztest::everyQuery(system);
    // One round first: caches fill, the store is written and kept open, ICU loads its data.
    for (const vztest::Query& query : queries)
        ASSERT_EQ(query.run(0), "") << query.name;
    const auto before = vztest::leftovers(system.folder());
    std::map<std::string, std::string> firstWrong;
    for (int round = fromEnvironment("VZ_QUERY_REPEAT", 100); round > 0; --round)
        for (const vztest::Query& query : queries)
            if (const std::string wrong = query.run(round); !wrong.empty())
                firstWrong.try_emplace(query.name, wrong);
    EXPECT_EQ(firstWrong, (std::map<std::string, std::string>{}));
    EXPECT_EQ(vztest::leftovers(system.folder()), before);
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

// Sixteen callers run every query at once, each starting at a different one, while another
// thread keeps emptying the version cache, so tool runs, store reads and store writes overlap.
TEST(Stress, SixteenThreadsCallEveryQueryAtOnce) {
    vztest::FakeSystem system;
    const std::vector<vztest::Query> queries = vztest::everyQuery(system);
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::map<std::string, std::string> firstWrong;
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 16; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = t; !stop; ++i)
                if (const std::string wrong = queries[i % queries.size()].run(static_cast<int>(t));
                    !wrong.empty()) {
                    std::lock_guard lock(mutex);
                    firstWrong.try_emplace(queries[i % queries.size()].name, wrong);
                }
        });
    threads.emplace_back([&] {
        for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(20)))
            vztest::emptyVersionCache();
    });
    std::this_thread::sleep_for(std::chrono::seconds(fromEnvironment("VZ_STRESS_SECONDS", 10)));
    stop = true;
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(firstWrong, (std::map<std::string, std::string>{}));
    // Whatever the order of the writes, the store ends up holding the tool's answer or nothing.
    const auto cached = kx::UserDefaults::standard().stringForKey("KXCurrentSWVers");
    EXPECT_TRUE(!cached || *cached == "13.5");
}

} // namespace
