// The host's environment turned hostile: signals that interrupt every blocking call, and no
// file descriptor to spare.
#include "platform/defaults/UserDefaults.h"
#include "stress/support/FakeSystem.h"

#include <VivoziZevidodirid/Version.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::atomic<long> signalsHandled{0};

void countSignal(int) {
    signalsHandled.fetch_add(1, std::memory_order_relaxed);
}

// A host handler installed without SA_RESTART: every slow system call it interrupts fails with
// EINTR instead of going on.
TEST(ResourceFaults, SignalsWithoutRestartDoNotCutAnswersShort) {
    vztest::FakeSystem system;
    const auto queries = vztest::everyQuery(system);
    // Tools that print in pieces with pauses between, so the reads block and are interrupted.
    const std::string listing = system.file("listing.plist");
    system.setTool("diskutil", "/bin/head -c 500 '" + listing + "'\n/bin/sleep 0.02\n" +
                                   "/bin/tail -c +501 '" + listing + "'\n");
    system.setTool("sqlite3", "/bin/sleep 0.02\nexec /bin/cat '" + system.file("rows") + "'\n");
    system.setTool("tmutil", "printf '<plist version=\"1.0\"><array>'\n/bin/sleep 0.02\n"
                             "for a in \"$@\"; do printf '<string>%s</string>' \"$a\"; done\n"
                             "printf '</array></plist>\\n'\n");

    struct sigaction handler {};
    handler.sa_handler = countSignal;
    sigemptyset(&handler.sa_mask);
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &previous), 0);
    signalsHandled = 0;
    std::atomic<bool> stop{false};
    const pthread_t caller = pthread_self();
    std::thread signaller([&] {
        while (!stop) {
            pthread_kill(caller, SIGUSR1);
            std::this_thread::sleep_for(200us);
        }
    });
    for (int round = 0; round < 3; ++round) {
        vztest::emptyVersionCache(); // so the version tool runs and the store is written again
        for (const vztest::Query& query : queries)
            EXPECT_EQ(query.run(round), "") << query.name << " in round " << round;
    }
    stop = true;
    signaller.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(signalsHandled.load(), 100);
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

// Lowers RLIMIT_NOFILE and takes every free descriptor below it but `spare`, for one scope.
class ScopedDescriptorShortage {
public:
    explicit ScopedDescriptorShortage(int spare) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = std::min<rlim_t>(saved_.rlim_cur, 256);
        setrlimit(RLIMIT_NOFILE, &lowered);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            taken_.push_back(fd);
        for (int i = 0; i < spare && !taken_.empty(); ++i) {
            close(taken_.back());
            taken_.pop_back();
        }
    }
    ~ScopedDescriptorShortage() {
        for (const int fd : taken_)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    ScopedDescriptorShortage(const ScopedDescriptorShortage&) = delete;
    ScopedDescriptorShortage& operator=(const ScopedDescriptorShortage&) = delete;

    bool exhausted() const { return !taken_.empty(); }

private:
    rlimit saved_{};
    std::vector<int> taken_;
};

// With no descriptor left to open, or one to eight (which fail part way through a launch),
// every query answers right or neutrally (the cached version right) and leaks nothing;
// afterwards all answer right again.
TEST(ResourceFaults, DescriptorExhaustionGivesNeutralAnswersAndLeaksNothing) {
    vztest::FakeSystem system;
    const auto queries = vztest::everyQuery(system);
    for (const vztest::Query& query : queries)
        ASSERT_EQ(query.run(0), "") << query.name;
    // A store older than its re-read window is trusted without being opened again.
    const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, system.defaultsPath().c_str(), anHourAgo, 0), 0);
    ASSERT_EQ(KXGetCurrentSystemString(), "13.5");
    const std::string storeBytes = vztest::readFile(system.defaultsPath());
    const auto before = vztest::leftovers(system.folder());

    for (const int spare : {0, 1, 2, 3, 4, 5, 6, 8}) {
        SCOPED_TRACE("descriptors to spare: " + std::to_string(spare));
        std::map<std::string, std::string> wrong;
        {
            ScopedDescriptorShortage shortage(spare);
            ASSERT_TRUE(shortage.exhausted());
            vztest::neutralAnswersPass = true;
            for (const vztest::Query& query : queries)
                if (std::string answer = query.run(0); !answer.empty())
                    wrong.emplace(query.name, std::move(answer));
            vztest::neutralAnswersPass = false;
        }
        EXPECT_EQ(wrong, (std::map<std::string, std::string>{}));
        EXPECT_EQ(vztest::leftovers(system.folder()), before);
        EXPECT_FALSE(vztest::hasUnreapedChild());
    }
    for (const vztest::Query& query : queries)
        EXPECT_EQ(query.run(0), "") << query.name;
    EXPECT_EQ(vztest::readFile(system.defaultsPath()), storeBytes);
}

// Uncached, a version tool that cannot be started answers the empty version, as any tool that
// prints nothing does; whatever the store then holds reads back.
TEST(ResourceFaults, DescriptorExhaustionWithAnEmptyVersionCache) {
    for (const int spare : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE("descriptors to spare: " + std::to_string(spare));
        vztest::FakeSystem system;
        std::optional<std::string> version;
        {
            ScopedDescriptorShortage shortage(spare);
            version = KXGetCurrentSystemString();
        }
        EXPECT_TRUE(version == "13.5" || version == "") << version.value_or("nullopt");
        const auto cached = kx::UserDefaults::standard().stringForKey("KXCurrentSWVers");
        EXPECT_TRUE(!cached || *cached == *version);
        EXPECT_FALSE(vztest::hasUnreapedChild());
    }
}

} // namespace
