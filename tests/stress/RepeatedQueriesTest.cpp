#include "stress/support/FakeSystem.h"
#include "stress/support/Leftovers.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <map>

namespace {

int repeatCount() {
    const char* text = std::getenv("VZ_QUERY_REPEAT");
    return text && std::atoi(text) > 0 ? std::atoi(text) : 100;
}

// Every query VZ_QUERY_REPEAT times (100 unless set) in one thread. Afterwards no descriptor,
// child process or file is left behind; heap leaks are LeakSanitizer's to report at exit in the
// address-sanitized build (scripts/leak-check.sh runs this 10,000 times there, or under valgrind).
TEST(RepeatedQueries, EveryQueryLeavesNothingBehind) {
    vztest::FakeSystem system;
    const std::vector<vztest::Query> queries = vztest::everyQuery(system);
    // One round first: caches fill, the store is written and kept open, ICU loads its data.
    for (const vztest::Query& query : queries)
        ASSERT_EQ(query.run(0), "") << query.name;
    const vztest::Leftovers before(system.folder());

    std::map<std::string, std::string> firstWrong;
    const int repeat = repeatCount();
    for (int round = 0; round < repeat; ++round) {
        for (const vztest::Query& query : queries) {
            if (const std::string wrong = query.run(round); !wrong.empty())
                firstWrong.try_emplace(query.name, wrong);
        }
    }
    for (const auto& [name, wrong] : firstWrong)
        ADD_FAILURE() << name << ": " << wrong;
    EXPECT_EQ(vztest::Leftovers(system.folder()), before);
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

} // namespace
