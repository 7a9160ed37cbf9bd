// Misbehaving tools, a hostile host, and faults found while hardening the library.
#include "stress/support/FakeSystem.h"

#include <VivoziZevidodirid/Version.h>
#include <VivoziZevidodirid/Volumes.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <map>
#include <pthread.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Killed part way, the tool's partial output reads as no answer; closing its output and running
// on, the caller still waits for (and reaps) it.
TEST(ToolFaults, MisbehavingToolAnswersWhatItPrintedAndIsReaped) {
    vztest::FakeSystem system;
    const std::string listing = system.file("listing.plist"), finished = system.file("finished");
    system.setTool("diskutil", "/bin/head -c 300 '" + listing + "'\nkill -KILL $$\n");
    const auto before = vztest::leftovers();
    EXPECT_TRUE(getAPFSContainer("disk1").isAbsent());
    system.setTool("diskutil", "/bin/cat '" + listing + "'\nexec >&-\n/bin/sleep 1\necho $$ > '" +
                                   finished + "'\n");
    EXPECT_EQ(getAPFSRecoveryVolume("disk1"), "disk1s3");
    ASSERT_FALSE(vztest::readFile(finished).empty()) << "returned before the tool had finished";
    EXPECT_EQ(vztest::leftovers(), before);
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

TEST(ToolFaults, ToolThatNeverEndsBlocksOnlyItsCaller) {
    vztest::FakeSystem system;
    const auto queries = vztest::everyQuery(system);
    system.setTool("diskutil", "echo $$ > '" + system.file("pid") + "'\nexec /bin/sleep 1000000\n");
    std::atomic<bool> returned{false};
    PlistValue answer("not yet");
    std::thread blocked([&] {
        answer = getAPFSContainer("disk1");
        returned = true;
    });
    pid_t tool = 0;
    for (int i = 0; i < 3000 && !tool; ++i, std::this_thread::sleep_for(10ms))
        if (const std::string text = vztest::readFile(system.file("pid")); text.ends_with('\n'))
            tool = std::stoi(text);
    ASSERT_NE(tool, 0);
    for (const vztest::Query& query : queries)
        // Those that run diskutil would block the same way.
        EXPECT_TRUE(query.name.starts_with("getAPFS") ||
                    query.name == "KXFoundationGetAPFSVolUsedSize" || query.run(1).empty())
            << query.name;
    EXPECT_FALSE(returned);
    ASSERT_EQ(kill(tool, SIGTERM), 0);
    blocked.join();
    EXPECT_TRUE(answer.isAbsent());
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

std::atomic<long> signalsHandled{0};

// A host handler without SA_RESTART: every blocking read the signal interrupts fails with EINTR.
TEST(ResourceFaults, SignalsWithoutRestartDoNotCutAnswersShort) {
    vztest::FakeSystem system;
    const auto queries = vztest::everyQuery(system);
    const std::string listing = system.file("listing.plist");
    system.setTool("diskutil", "/bin/head -c 500 '" + listing + "'\n/bin/sleep 0.02\n" +
                                   "/bin/tail -c +501 '" + listing + "'\n");
    struct sigaction handler {
    }, previous{};
    handler.sa_handler = [](int) { signalsHandled.fetch_add(1); };
    ASSERT_EQ(sigaction(SIGUSR1, &handler, &previous), 0);
    signalsHandled = 0;
    std::atomic<bool> stop{false};
    std::thread signaller([&, caller = pthread_self()] {
        for (; !stop; std::this_thread::sleep_for(200us))
            pthread_kill(caller, SIGUSR1);
    });
    for (const vztest::Query& query : queries)
        EXPECT_EQ(query.run(0), "") << query.name;
    stop = true;
    signaller.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(signalsHandled.load(), 100);
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

// With none, or a few, descriptors free (failing part way through a launch), every query answers
// right or neutrally and leaks nothing; afterwards all answer right again.
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
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    for (const int spare : {0, 1, 2, 3, 4, 5, 6, 8}) {
        rlimit lowered = saved;
        lowered.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
        setrlimit(RLIMIT_NOFILE, &lowered);
        std::vector<int> taken;
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            taken.push_back(fd);
        ASSERT_GT(taken.size(), static_cast<std::size_t>(spare));
        for (int i = 0; i < spare; ++i, taken.pop_back())
            close(taken.back());
        std::map<std::string, std::string> wrong;
        vztest::neutralAnswersPass = true;
        for (const vztest::Query& query : queries)
            if (std::string answer = query.run(0); !answer.empty())
                wrong.emplace(query.name, std::move(answer));
        vztest::neutralAnswersPass = false;
        for (const int fd : taken)
            close(fd);
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_EQ(wrong, (std::map<std::string, std::string>{})) << spare << " spare";
        EXPECT_EQ(vztest::leftovers(system.folder()), before) << spare << " spare";
    }
    EXPECT_EQ(vztest::readFile(system.defaultsPath()), storeBytes);
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

// On a read-only or full folder the answers still come from the tool, nothing half-written is
// left, and the store's content survives (a damaged one may be set aside beside it).
TEST(DefaultsStoreFaults, AnswersComeBackAndTheStoreSurvives) {
    // Mounts stay in a namespace of this thread's own, seen by its tools and no other process.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        GTEST_SKIP() << "cannot have a mount namespace: " << std::strerror(errno);
    const std::string damaged = "<plist><dict><key>half",
                      other = PlistValue(PlistValue::Dictionary{{"Other", "kept"}}).xml();
    for (const auto& [readOnly, content] :
         {std::pair{true, other}, {true, std::string()}, {false, other}, {false, damaged}}) {
        SCOPED_TRACE((readOnly ? "read-only, " : "full, ") + content);
        vztest::ScopedSystemVersion version("13.5");
        vztest::TempDir dir;
        const std::string folder = dir.file("store"), store = folder + "/defaults.plist";
        std::filesystem::create_directories(folder);
        ASSERT_EQ(mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k"), 0);
        if (!content.empty())
            vztest::writeFile(store, content);
        if (readOnly) {
            ASSERT_EQ(mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
        } else {
            const int fd = open((folder + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            const std::string block(4096, 'x');
            while (write(fd, block.data(), block.size()) > 0) {
            }
            close(fd);
        }
        vztest::ScopedSystemPaths paths;
        paths.edit().userDefaults = store;
        paths.apply();
        EXPECT_EQ(KXGetCurrentSystemDictionary(),
                  PlistValue(PlistValue::Dictionary{{"BuildVersion", "0T0"},
                                                    {"ProductName", "macOS"},
                                                    {"ProductVersion", "13.5"}}));
        bool keptAside = false;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            EXPECT_FALSE(name.starts_with(".defaults.plist.")) << name;
            keptAside |= name.starts_with("defaults.plist.damaged-") &&
                         vztest::readFile(folder + "/" + name) == content;
        }
        if (vztest::fileExists(store))
            EXPECT_EQ(vztest::readFile(store), content);
        else
            EXPECT_TRUE(content.empty() || keptAside);
        umount2(folder.c_str(), MNT_DETACH);
    }
}

// A FIFO at the store's path held the first version call forever: the store was opened before
// its type was checked. Now it is passed over: the answer comes from the tool, nothing replaces it.
TEST(DefaultsStoreFaults, AStoreThatIsNotARegularFileIsNeitherWaitedOnNorReplaced) {
    vztest::ScopedSystemVersion version("13.5");
    const std::string store = version.defaultsPath();
    std::filesystem::create_directories(std::filesystem::path(store).parent_path());
    ASSERT_EQ(mkfifo(store.c_str(), 0600), 0);
    auto answer = std::async(std::launch::async, [] { return KXGetCurrentSystemString(); });
    const bool returned = answer.wait_for(5s) == std::future_status::ready;
    // A writer that comes and goes gives a blocked reader end of file.
    while (answer.wait_for(100ms) != std::future_status::ready)
        close(open(store.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    EXPECT_TRUE(returned) << "blocked on the FIFO";
    EXPECT_EQ(answer.get(), "13.5");
    struct stat info {};
    ASSERT_EQ(lstat(store.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// Every entry under root, with its type, mode, owner and content or link target.
std::map<std::string, std::string> everythingUnder(const std::string& root) {
    std::map<std::string, std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        struct stat info {};
        lstat(entry.path().c_str(), &info);
        std::string what = std::to_string(info.st_mode) + " " + std::to_string(info.st_uid);
        if (S_ISREG(info.st_mode))
            what += " " + vztest::readFile(entry.path());
        else if (S_ISLNK(info.st_mode))
            what += " -> " + std::filesystem::read_symlink(entry.path()).string();
        found.emplace(entry.path().string(), std::move(what));
    }
    return found;
}

// A link in the store's place, or another account's folder or file there, made root read a
// forged version and create or write files wherever they led. Each is passed over now: the answer
// comes from the tool and nothing anywhere changes.
TEST(DefaultsStoreFaults, LinksAndOtherAccountsFilesAreNeitherFollowedNorWrittenInto) {
    namespace fs = std::filesystem;
    const std::string forged =
        PlistValue(PlistValue::Dictionary{{"KXCurrentSWVers", "99.1"}}).xml();
    // The store is <dir>/config/program/defaults.plist; <dir>/elsewhere lies outside it and holds
    // a forged store. Without a link, a forged store is in the store's place.
    const struct {
        const char* what;
        const char* link; // made at link, leading to target
        const char* target;
        const char* othersPath = nullptr; // given to another account
    } plants[] = {
        {"lock file links elsewhere", "config/program/defaults.plist.lock", "elsewhere/nologin"},
        {"store links elsewhere", "config/program/defaults.plist", "elsewhere/defaults.plist"},
        {"store folder links elsewhere", "config/program", "elsewhere"},
        {"store folder is another account's", nullptr, nullptr, "config/program"},
        {"store is another account's", nullptr, nullptr, "config/program/defaults.plist"},
        {"config folder links to another account's", "config", "elsewhere", "elsewhere"},
    };
    std::string skipped;
    for (const auto& plant : plants) {
        SCOPED_TRACE(plant.what);
        if (plant.othersPath && geteuid() != 0) {
            skipped += std::string(skipped.empty() ? "" : ", ") + plant.what;
            continue;
        }
        vztest::ScopedSystemVersion version("13.5");
        vztest::TempDir dir;
        fs::create_directories(dir.file("elsewhere"));
        vztest::writeFile(dir.file("elsewhere/defaults.plist"), forged);
        const std::string store = dir.file("config/program/defaults.plist");
        if (plant.link) {
            fs::create_directories(fs::path(dir.file(plant.link)).parent_path());
            fs::create_symlink(dir.file(plant.target), dir.file(plant.link));
        } else {
            fs::create_directories(dir.file("config/program"));
            vztest::writeFile(store, forged);
        }
        if (plant.othersPath) {
            ASSERT_EQ(chown(dir.file(plant.othersPath).c_str(), 65534, 65534), 0);
        }
        vztest::ScopedSystemPaths paths;
        paths.edit().userDefaults = store;
        paths.apply();
        const auto before = everythingUnder(dir.path());
        EXPECT_EQ(KXGetCurrentSystemString(), "13.5");
        EXPECT_EQ(everythingUnder(dir.path()), before);
    }
    if (!skipped.empty())
        GTEST_SKIP() << "not root, so nothing can be given to another account: " << skipped;
}

// A relative HOME put the store under the working folder. The account's home is taken instead;
// nobody's cannot be made, so the answer comes from the tool and nothing is written anywhere.
TEST(DefaultsStoreFaults, ARelativeHomeNeverPutsTheStoreUnderTheWorkingFolder) {
    if (geteuid() != 0)
        GTEST_SKIP() << "not root, so the test cannot run as the account nobody";
    const passwd* nobody = getpwuid(65534);
    struct stat info {};
    if (!nobody || !nobody->pw_dir || lstat(nobody->pw_dir, &info) == 0)
        GTEST_SKIP() << "account 65534 has an existing home";
    vztest::ScopedSystemVersion version("13.5");
    vztest::ScopedSystemPaths paths;
    paths.edit().userDefaults.clear();
    paths.apply();
    vztest::TempDir work;
    ASSERT_EQ(chmod(work.path().c_str(), 0777), 0);
    const std::string tools = std::filesystem::path(version.swVersPath()).parent_path().string();
    ASSERT_EQ(chmod(tools.c_str(), 0755), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(work.path().c_str()) != 0 || setenv("HOME", "relhome", 1) != 0 ||
            unsetenv("XDG_CONFIG_HOME") != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        _exit(KXGetCurrentSystemString() == "13.5" ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0) << "the answer did not come from the tool";
    EXPECT_TRUE(std::filesystem::is_empty(work.path()));
}

} // namespace
