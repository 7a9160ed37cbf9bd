// Misbehaving tools, a hostile host, and faults found while hardening the library.
#include "stress/support/FakeSystem.h"

#include <VivoziZevidodirid/Version.h>
#include <VivoziZevidodirid/Volumes.h>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using vztest::Wrong, vztest::wrongAnswers;
namespace fs = std::filesystem;

// Killed part way: no answer; output closed early: still reaped; endless: blocks only its caller.
TEST(ToolFaults, MisbehavingToolsAnswerWhatTheyPrintedAndAreReaped) {
    vztest::FakeSystem system;
    auto queries = vztest::everyQuery(system);
    std::erase_if(queries, [](const vztest::Query& query) { // those would block as well
        return query.name.starts_with("getAPFS") || query.name == "KXFoundationGetAPFSVolUsedSize";
    });
    const std::string listing = system.file("listing.plist"), pid = system.file("pid");
    system.setTool("diskutil", "/bin/head -c 300 '" + listing + "'\nkill -KILL $$\n");
    const auto before = vztest::leftovers();
    EXPECT_TRUE(getAPFSContainer("disk1").isAbsent());
    system.setTool("diskutil",
                   "/bin/cat '" + listing + "'\nexec >&-\n/bin/sleep 1\necho $$ > '" + pid + "'\n");
    EXPECT_EQ(getAPFSRecoveryVolume("disk1"), "disk1s3");
    EXPECT_FALSE(vztest::readFile(pid).empty()) << "returned before the tool had finished";
    EXPECT_EQ(vztest::leftovers(), before);
    system.setTool("diskutil", "echo $$ > '" + pid + ".new'\nexec /bin/sleep 1000000\n");
    auto blocked = std::async(std::launch::async, [] { return getAPFSContainer("disk1"); });
    ASSERT_TRUE(vztest::eventually([&] { return vztest::readFile(pid + ".new").ends_with('\n'); }));
    EXPECT_EQ(wrongAnswers(queries), Wrong{});
    EXPECT_EQ(blocked.wait_for(0s), std::future_status::timeout);
    ASSERT_EQ(kill(std::stoi(vztest::readFile(pid + ".new")), SIGTERM), 0);
    EXPECT_TRUE(blocked.get().isAbsent());
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

std::atomic<long> signalsHandled{0};

// EINTR from a host handler without SA_RESTART; no descriptor left, or too few to finish a launch.
TEST(ResourceFaults, SignalsWithoutRestartAndDescriptorExhaustion) {
    vztest::FakeSystem system;
    const auto queries = vztest::everyQuery(system);
    const std::string listing = system.file("listing.plist");
    system.setTool("diskutil", "/bin/head -c 500 '" + listing + "'\n/bin/sleep 0.02\n" +
                                   "/bin/tail -c +501 '" + listing + "'\n");
    struct sigaction handler {
    }, previous{};
    handler.sa_handler = [](int) { signalsHandled.fetch_add(1); };
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &previous), 0);
    std::jthread signaller([caller = pthread_self()](std::stop_token stop) {
        for (; !stop.stop_requested(); std::this_thread::sleep_for(200us))
            pthread_kill(caller, SIGUSR1);
    });
    EXPECT_EQ(wrongAnswers(queries), Wrong{});
    signaller.request_stop();
    signaller.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(signalsHandled.load(), 100);

    // A store older than its re-read window is trusted without being opened again.
    const timespec anHourAgo[2] = {{time(nullptr) - 3600, 0}, {time(nullptr) - 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, system.defaultsPath().c_str(), anHourAgo, 0), 0);
    ASSERT_EQ(KXGetCurrentSystemString(), "13.5");
    const std::string storeBytes = vztest::readFile(system.defaultsPath());
    const auto before = vztest::leftovers(system.folder());
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    const rlimit lowered{std::min<rlim_t>(saved.rlim_cur, 256), saved.rlim_max};
    for (const int spare : {0, 1, 2, 3, 4, 5, 6, 8}) {
        setrlimit(RLIMIT_NOFILE, &lowered);
        std::vector<int> taken;
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            taken.push_back(fd);
        ASSERT_GT(taken.size(), static_cast<std::size_t>(spare));
        for (int i = 0; i < spare; ++i, taken.pop_back())
            close(taken.back());
        const Wrong wrong = wrongAnswers(queries, 0, true);
        for (const int fd : taken)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(wrong, Wrong{}) << spare << " spare";
        EXPECT_EQ(vztest::leftovers(system.folder()), before) << spare << " spare";
    }
    EXPECT_EQ(vztest::readFile(system.defaultsPath()), storeBytes);
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

// Every entry's type, mode, owner and content or target, whatever its name; an empty lock aside.
std::multiset<std::string> everythingUnder(const std::string& root) {
    std::multiset<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat info {};
        lstat(entry.path().c_str(), &info);
        const bool file = S_ISREG(info.st_mode), link = S_ISLNK(info.st_mode);
        if (!file || info.st_size != 0 || entry.path().extension() != ".lock")
            found.insert(std::to_string(info.st_mode) + " " + std::to_string(info.st_uid) + " " +
                         (file   ? vztest::readFile(entry.path()).substr(0, 300)
                          : link ? fs::read_symlink(entry.path()).string()
                                 : ""));
    }
    return found;
}

// A FIFO there hung the caller; links and other accounts' files made root read forged versions and
// write where they led. Now the tool answers and nothing changes (a damaged store may be renamed).
TEST(DefaultsStoreFaults, AHostileOrBrokenStoreIsPassedOverAndLeftAsItWas) {
    using D = PlistValue::Dictionary;
    const std::string forged = PlistValue(D{{"KXCurrentSWVers", "99.1"}}).xml(),
                      other = PlistValue(D{{"Other", "kept"}}).xml();
    // The store is <dir>/config/program/defaults.plist; <dir>/elsewhere holds a forged one.
    enum Kind { Plain, Fifo, ReadOnly, Full }; // the last two: a folder of its own
    const struct {
        const char* what;
        Kind kind;
        const char* link = nullptr; // made at link, leading to target
        const char* target = nullptr;
        const char* othersPath = nullptr; // given to another account
        std::string store = {};           // the store's content, if any
    } plants[] = {
        {"store is a FIFO", Fifo},
        {"lock file links elsewhere", Plain, "config/program/defaults.plist.lock", "elsewhere/x"},
        {"store is a link", Plain, "config/program/defaults.plist", "elsewhere/defaults.plist"},
        {"store folder links elsewhere", Plain, "config/program", "elsewhere"},
        {"store folder is another account's", Plain, {}, {}, "config/program", forged},
        {"store is another account's", Plain, {}, {}, "config/program/defaults.plist", forged},
        {"config folder links to another account's", Plain, "config", "elsewhere", "elsewhere"},
        {"read-only, another key", ReadOnly, {}, {}, {}, other},
        {"full, another key", Full, {}, {}, {}, other},
        {"full, damaged", Full, {}, {}, {}, "<plist><dict><key>half"},
    };
    // Mounts stay in a namespace of this thread's own, seen by its tools and no other process.
    const bool mounts = unshare(CLONE_NEWNS) == 0 &&
                        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    std::string skipped;
    for (const auto& plant : plants) {
        SCOPED_TRACE(plant.what);
        if ((plant.othersPath && geteuid() != 0) || (plant.kind >= ReadOnly && !mounts)) {
            skipped += std::string(" ") + plant.what + ";";
            continue;
        }
        vztest::ScopedSystemVersion version("13.5");
        vztest::TempDir dir;
        const std::string folder = dir.file("config/program"), store = folder + "/defaults.plist";
        fs::create_directories(dir.file("elsewhere"));
        fs::create_directories(folder);
        vztest::writeFile(dir.file("elsewhere/defaults.plist"), forged);
        int failed = 0; // set-up calls
        if (plant.kind >= ReadOnly)
            failed +=
                mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0;
        if (plant.link) {
            fs::remove_all(dir.file(plant.link));
            fs::create_symlink(dir.file(plant.target), dir.file(plant.link));
        }
        if (!plant.store.empty())
            vztest::writeFile(store, plant.store);
        if (plant.othersPath)
            failed += chown(dir.file(plant.othersPath).c_str(), 65534, 65534) != 0;
        if (plant.kind == Fifo)
            failed += mkfifo(store.c_str(), 0600) != 0;
        if (plant.kind == ReadOnly)
            failed += mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0;
        if (plant.kind == Full) // written until the folder is full
            std::ofstream(folder + "/filler") << std::string(128 << 10, 'x');
        ASSERT_EQ(failed, 0);
        vztest::ScopedSystemPaths paths;
        paths.set(&kx::SystemPaths::userDefaults, store);
        const auto before = everythingUnder(dir.path());
        auto answer = std::async(std::launch::async, [] { return KXGetCurrentSystemString(); });
        const bool returned = answer.wait_for(5s) == std::future_status::ready;
        // A writer that comes and goes gives a reader blocked on the FIFO end of file.
        while (answer.wait_for(100ms) != std::future_status::ready)
            close(open(store.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        EXPECT_TRUE(returned) << "blocked";
        EXPECT_EQ(answer.get(), "13.5");
        EXPECT_EQ(everythingUnder(dir.path()), before);
        if (plant.kind >= ReadOnly)
            umount2(folder.c_str(), MNT_DETACH);
    }
    if (!skipped.empty())
        GTEST_SKIP() << "not root, or no mount namespace:" << skipped;
}

} // namespace
