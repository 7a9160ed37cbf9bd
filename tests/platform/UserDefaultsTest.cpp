#include "platform/defaults/UserDefaults.h"

#include "support/TestSupport.h"

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string plistWith(const std::string& key, const std::string& value) {
    return PlistValue(PlistValue::Dictionary{{key, value}}).xml();
}

std::vector<std::string> namesIn(const std::string& folder, std::string_view prefix) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().rfind(prefix, 0) == 0)
            names.push_back(entry.path().filename().string());
    return names;
}

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

class UserDefaultsTest : public ::testing::Test {
protected:
    UserDefaultsTest() {
        paths_.edit().userDefaults = store_;
        paths_.apply();
    }

    vztest::TempDir dir_;
    const std::string folder_ = dir_.file("config/program");
    const std::string store_ = folder_ + "/defaults.plist";
    vztest::ScopedSystemPaths paths_;
    kx::UserDefaults& defaults_ = kx::UserDefaults::standard();
};

TEST_F(UserDefaultsTest, KeepsValuesInAPrivateFileAndReadsEachKindOnly) {
    EXPECT_TRUE(defaults_.removeObjectForKey("k"));
    EXPECT_FALSE(vztest::fileExists(dir_.file("config"))) << "a no-op write creates nothing";

    PlistValue nested = PlistValue::dictionary();
    nested.setValueForKey("inner", "x");
    ASSERT_TRUE(defaults_.setValueForKey("string", "text"));
    ASSERT_TRUE(defaults_.setValueForKey("dictionary", nested));
    ASSERT_TRUE(defaults_.setValueForKey("gone", "soon"));
    ASSERT_TRUE(defaults_.setValueForKey("gone", PlistValue()));
    EXPECT_EQ(modeOf(dir_.file("config")), 0700u);
    EXPECT_EQ(modeOf(store_), 0600u);

    // A store with nothing cached, as after a restart of the program, reads the file.
    kx::UserDefaults restarted;
    EXPECT_EQ(restarted.stringForKey("string"), "text");
    EXPECT_EQ(restarted.dictionaryForKey("dictionary"), nested);
    EXPECT_EQ(restarted.stringForKey("dictionary"), std::nullopt);
    EXPECT_TRUE(restarted.dictionaryForKey("string").isAbsent());
    EXPECT_TRUE(restarted.objectForKey("gone").isAbsent());
}

TEST_F(UserDefaultsTest, OutsideChangesAreSeenAndUnchangedFilesNotParsedAgain) {
    fs::create_directories(folder_);
    vztest::writeFile(store_, plistWith("k", "one"));
    const std::uint64_t before = kx::UserDefaults::parseCount();
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(defaults_.stringForKey("k"), "one");
    EXPECT_EQ(kx::UserDefaults::parseCount(), before + 1);

    vztest::writeFile(store_, plistWith("k", "two")); // in place: same inode, same size
    EXPECT_EQ(defaults_.stringForKey("k"), "two");
    vztest::writeFile(store_ + ".new", plistWith("k", "three"));
    fs::rename(store_ + ".new", store_);
    EXPECT_EQ(defaults_.stringForKey("k"), "three");
    ASSERT_TRUE(defaults_.setValueForKey("mine", "x"));
    EXPECT_EQ(defaults_.stringForKey("k"), "three") << "a write keeps the outside change";
    fs::remove(store_);
    EXPECT_EQ(defaults_.stringForKey("k"), std::nullopt);

    // Two changes within one tick of the file-system clock leave the same time stamp and size; a
    // file stamped that recently is read again until its stamp is safely past (a future stamp
    // stands for that), yet unchanged bytes are not parsed again.
    struct timespec future[2] = {};
    clock_gettime(CLOCK_REALTIME, &future[1]);
    future[1].tv_sec += 3600;
    future[0] = future[1];
    const std::uint64_t beforeFuture = kx::UserDefaults::parseCount();
    for (const char* value : {"one", "two"}) {
        vztest::writeFile(store_, plistWith("k", value));
        ASSERT_EQ(utimensat(AT_FDCWD, store_.c_str(), future, 0), 0);
        EXPECT_EQ(defaults_.stringForKey("k"), value);
        EXPECT_EQ(defaults_.stringForKey("k"), value);
    }
    EXPECT_EQ(kx::UserDefaults::parseCount(), beforeFuture + 2);
}

TEST_F(UserDefaultsTest, ADamagedStoreReadsEmptyAndIsMovedAsideBeforeTheFirstWrite) {
    for (const std::string& damaged :
         {std::string("k = v; not XML\n"), plistWith("k", "v").substr(0, 70),
          std::string("<plist version=\"1.0\"><array/></plist>")}) {
        SCOPED_TRACE(damaged);
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        vztest::writeFile(store_, damaged);
        EXPECT_EQ(defaults_.stringForKey("k"), std::nullopt);
        EXPECT_TRUE(defaults_.removeObjectForKey("k"));
        EXPECT_TRUE(namesIn(folder_, "defaults.plist.damaged-").empty());

        ASSERT_TRUE(defaults_.setValueForKey("new", "value"));
        const std::vector<std::string> aside = namesIn(folder_, "defaults.plist.damaged-");
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(vztest::readFile(folder_ + "/" + aside[0]), damaged);
        EXPECT_EQ(PlistValue::parse(vztest::readFile(store_)).count(), 1u);
    }
}

TEST(UserDefaultsPath, FollowsTheXdgRulesWhenTheTableNamesNone) {
    vztest::ScopedSystemPaths paths;
    paths.edit().userDefaults = "";
    paths.apply();
    const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::string saved[2] = {savedXdg ? savedXdg : "", savedHome ? savedHome : ""};
    const std::string home = "/home/u/.config/" + std::string(program_invocation_short_name);
    const struct {
        const char* xdg;
        std::string expected;
    } cases[] = {{"/srv/conf", "/srv/conf/" + std::string(program_invocation_short_name)},
                 {"", home},
                 {"relative/conf", home}};
    setenv("HOME", "/home/u", 1);
    for (const auto& c : cases) {
        setenv("XDG_CONFIG_HOME", c.xdg, 1);
        EXPECT_EQ(kx::UserDefaults::path(), c.expected + "/defaults.plist") << c.xdg;
    }
    savedXdg ? setenv("XDG_CONFIG_HOME", saved[0].c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    savedHome ? setenv("HOME", saved[1].c_str(), 1) : unsetenv("HOME");
}

bool writeKeys(const std::string& prefix, int count) {
    for (int i = 0; i < count; ++i)
        if (!kx::UserDefaults::standard().setValueForKey(prefix + std::to_string(i), i))
            return false;
    return true;
}

TEST_F(UserDefaultsTest, TwoWritersOfDifferentKeysLoseNothing) {
    constexpr int kWrites = 100;
    // Two threads sharing the store object.
    bool written[2] = {};
    std::thread first([&] { written[0] = writeKeys("thread1-", kWrites); });
    written[1] = writeKeys("thread2-", kWrites);
    first.join();
    EXPECT_TRUE(written[0] && written[1]);
    // Two processes, both starting when the parent closes the pipe.
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (const char* prefix : {"process1-", "process2-"}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            char start;
            close(go[1]);
            (void)!read(go[0], &start, 1);
            _exit(writeKeys(prefix, kWrites) ? 0 : 1);
        }
        children.push_back(child);
    }
    close(go[0]);
    close(go[1]);
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a write failed";
    }
    const PlistValue root = kx::UserDefaults().snapshot().root();
    EXPECT_EQ(root.count(), 4u * kWrites);
    for (const char* prefix : {"thread1-", "thread2-", "process1-", "process2-"})
        for (int i = 0; i < kWrites; ++i)
            EXPECT_EQ(root[prefix + std::to_string(i)].integerValue(), i) << prefix << i;
}

TEST_F(UserDefaultsTest, ACrashBetweenWriteAndRenameLeavesTheOldStore) {
    ASSERT_TRUE(defaults_.setValueForKey("keep", "old"));
    const std::string before = vztest::readFile(store_);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        kx::testing::setBeforeRenameHook([](const std::string&) { _exit(42); });
        kx::UserDefaults::standard().setValueForKey("keep", "new");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 42) << "did not stop before rename";

    EXPECT_EQ(vztest::readFile(store_), before);
    EXPECT_EQ(kx::UserDefaults().stringForKey("keep"), "old");
    ASSERT_TRUE(defaults_.setValueForKey("keep", "newer"));
    EXPECT_EQ(kx::UserDefaults().stringForKey("keep"), "newer");
}

} // namespace
