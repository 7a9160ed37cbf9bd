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

using Clock = std::chrono::steady_clock;

std::chrono::seconds stressDuration() {
    const char* text = std::getenv("VZ_STRESS_SECONDS");
    return std::chrono::seconds(text && std::atoi(text) > 0 ? std::atoi(text) : 10);
}

// Sixteen callers run every query at once, each starting at a different one, while another
// thread keeps emptying the version cache, so that tool runs, store reads and store writes all
// overlap. Every answer is checked; the first wrong answer of each query is kept.
TEST(Stress, SixteenThreadsCallEveryQueryAtOnce) {
    constexpr int kThreads = 16;
    vztest::FakeSystem system;
    const std::vector<vztest::Query> queries = vztest::everyQuery(system);

    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::map<std::string, std::string> firstWrong;
    std::map<std::string, long> calls;
    auto caller = [&](int index) {
        std::map<std::string, long> made;
        for (std::size_t i = static_cast<std::size_t>(index); !stop; ++i) {
            const vztest::Query& query = queries[i % queries.size()];
            const std::string wrong = query.run(index);
            ++made[query.name];
            if (!wrong.empty()) {
                std::lock_guard lock(mutex);
                firstWrong.try_emplace(query.name, wrong);
            }
        }
        std::lock_guard lock(mutex);
        for (const auto& [name, count] : made)
            calls[name] += count;
    };
    std::atomic<long> cacheClears{0};
    auto clearer = [&] {
        kx::UserDefaults& store = kx::UserDefaults::standard();
        while (!stop) {
            store.removeObjectForKey("KXCurrentSWVers");
            store.removeObjectForKey("KXCurrentSWVersDict");
            ++cacheClears;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    };

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(caller, t);
    threads.emplace_back(clearer);
    std::this_thread::sleep_for(stressDuration());
    stop = true;
    for (auto& thread : threads)
        thread.join();

    for (const auto& [name, wrong] : firstWrong)
        ADD_FAILURE() << name << ": " << wrong;
    long total = 0;
    for (const vztest::Query& query : queries) {
        EXPECT_GT(calls[query.name], 0) << query.name << " never ran";
        total += calls[query.name];
    }
    RecordProperty("calls", static_cast<int>(total));
    std::printf("%ld calls checked, %ld cache clears\n", total, cacheClears.load());
    EXPECT_GT(cacheClears.load(), 0);
    // Whatever the order of the writes, the store ends up holding the tool's answer or nothing.
    const auto cached = kx::UserDefaults::standard().stringForKey("KXCurrentSWVers");
    EXPECT_TRUE(!cached || *cached == "13.5");
}

} // namespace
