#include "platform/defaults/UserDefaults.h"

#include "support/TestSupport.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string plistOfStrings(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [key, value] : entries)
        xml += "\t<key>" + key + "</key>\n\t<string>" + value + "</string>\n";
    return xml + "</dict>\n</plist>\n";
}

// Replaces the file the way most programs save: a new file renamed over the old one.
void replaceFile(const std::string& path, std::string_view content) {
    vztest::writeFile(path + ".new", content);
    fs::rename(path + ".new", path);
}

std::vector<std::string> namesIn(const std::string& folder, std::string_view prefix) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0)
            names.push_back(name);
    }
    return names;
}

mode_t modeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
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

TEST_F(UserDefaultsTest, ReadsAnswerOnlyForTheirKind) {
    PlistValue nested = PlistValue::dictionary();
    nested.setValueForKey("inner", "x");
    ASSERT_TRUE(defaults_.setValueForKey("string", "text"));
    ASSERT_TRUE(defaults_.setValueForKey("dictionary", nested));
    ASSERT_TRUE(defaults_.setValueForKey("number", std::int64_t{7}));
    ASSERT_TRUE(defaults_.setValueForKey("array", PlistValue::array()));

    const struct {
        const char* key;
        bool isString;
        bool isDictionary;
    } cases[] = {{"string", true, false},
                 {"dictionary", false, true},
                 {"number", false, false},
                 {"array", false, false},
                 {"missing", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(defaults_.stringForKey(c.key).has_value(), c.isString);
        EXPECT_EQ(defaults_.dictionaryForKey(c.key).isDictionary(), c.isDictionary);
        EXPECT_EQ(defaults_.dictionaryForKey(c.key).isAbsent(), !c.isDictionary);
    }
    EXPECT_EQ(defaults_.stringForKey("string"), "text");
    EXPECT_EQ(defaults_.dictionaryForKey("dictionary"), nested);
}

TEST_F(UserDefaultsTest, ValuesSurviveInTheFileAndAbsentRemoves) {
    ASSERT_TRUE(defaults_.setValueForKey("a", "1"));
    ASSERT_TRUE(defaults_.setValueForKey("b", "2"));
    ASSERT_TRUE(defaults_.setValueForKey("c", "3"));
    ASSERT_TRUE(defaults_.setValueForKey("a", PlistValue()));
    ASSERT_TRUE(defaults_.removeObjectForKey("b"));

    // A store with nothing cached, as after a restart of the program, reads the file.
    kx::UserDefaults restarted;
    EXPECT_EQ(restarted.stringForKey("a"), std::nullopt);
    EXPECT_EQ(restarted.stringForKey("b"), std::nullopt);
    EXPECT_EQ(restarted.stringForKey("c"), "3");
    EXPECT_EQ(PlistValue::parse(vztest::readFile(store_))["c"], PlistValue("3"));
}

TEST_F(UserDefaultsTest, FolderIsCreatedPrivatelyOnFirstWriteOnly) {
    EXPECT_EQ(defaults_.stringForKey("k"), std::nullopt);
    EXPECT_TRUE(defaults_.removeObjectForKey("k"));
    EXPECT_FALSE(vztest::fileExists(dir_.file("config")))
        << "reads and no-op writes create nothing";

    ASSERT_TRUE(defaults_.setValueForKey("k", "v"));
    EXPECT_EQ(modeOf(dir_.file("config")), 0700u);
    EXPECT_EQ(modeOf(folder_), 0700u);
    EXPECT_EQ(modeOf(store_), 0600u);
}

TEST_F(UserDefaultsTest, KeepsThePermissionsOfAnExistingStore) {
    fs::create_directories(folder_);
    vztest::writeFile(store_, plistOfStrings({{"k", "v"}}));
    chmod(store_.c_str(), 0644);
    ASSERT_TRUE(defaults_.setValueForKey("k", "w"));
    EXPECT_EQ(modeOf(store_), 0644u);
}

TEST_F(UserDefaultsTest, OutsideChangesAreSeenAndUnchangedFilesNotParsedAgain) {
    fs::create_directories(folder_);
    vztest::writeFile(store_, plistOfStrings({{"k", "one"}}));
    const std::uint64_t before = kx::UserDefaults::parseCount();
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(defaults_.stringForKey("k"), "one");
    EXPECT_EQ(kx::UserDefaults::parseCount(), before + 1);

    // Rewritten in place at once, same inode and same size: the time stamp may not have moved.
    vztest::writeFile(store_, plistOfStrings({{"k", "two"}}));
    EXPECT_EQ(defaults_.stringForKey("k"), "two");
    replaceFile(store_, plistOfStrings({{"k", "three"}}));
    EXPECT_EQ(defaults_.stringForKey("k"), "three");
    EXPECT_EQ(kx::UserDefaults::parseCount(), before + 3);

    // A writer that read before the outside change keeps it: only its own key changes.
    ASSERT_TRUE(defaults_.setValueForKey("mine", "x"));
    replaceFile(store_, plistOfStrings({{"k", "four"}, {"mine", "x"}}));
    ASSERT_TRUE(defaults_.setValueForKey("other", "y"));
    EXPECT_EQ(defaults_.stringForKey("k"), "four");

    fs::remove(store_);
    EXPECT_EQ(defaults_.stringForKey("k"), std::nullopt);
}

// Two changes within one tick of the file-system clock leave the same time stamp; a file stamped
// that recently is read again on every read until its stamp is safely in the past. A stamp in
// the future stands for such a tick here.
TEST_F(UserDefaultsTest, AChangeThatKeepsTimeStampAndSizeIsSeen) {
    fs::create_directories(folder_);
    struct timespec future[2] = {};
    clock_gettime(CLOCK_REALTIME, &future[1]);
    future[1].tv_sec += 3600;
    future[0] = future[1];
    vztest::writeFile(store_, plistOfStrings({{"k", "one"}}));
    ASSERT_EQ(utimensat(AT_FDCWD, store_.c_str(), future, 0), 0);
    const std::uint64_t before = kx::UserDefaults::parseCount();
    EXPECT_EQ(defaults_.stringForKey("k"), "one");
    EXPECT_EQ(defaults_.stringForKey("k"), "one");

    vztest::writeFile(store_, plistOfStrings({{"k", "two"}}));
    ASSERT_EQ(utimensat(AT_FDCWD, store_.c_str(), future, 0), 0);
    EXPECT_EQ(defaults_.stringForKey("k"), "two");
    EXPECT_EQ(kx::UserDefaults::parseCount(), before + 2) << "unchanged bytes are not parsed";
}

TEST_F(UserDefaultsTest, DamagedStoreReadsEmptyAndIsMovedAsideBeforeTheFirstWrite) {
    const struct {
        const char* what;
        std::string content;
    } cases[] = {
        {"not a property list", "k = v; this is not XML\n"},
        {"cut short", plistOfStrings({{"k", "v"}}).substr(0, 120)},
        {"array at the root", "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><array>"
                              "<string>k</string></array></plist>\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        vztest::writeFile(store_, c.content);

        EXPECT_EQ(defaults_.stringForKey("k"), std::nullopt);
        EXPECT_TRUE(defaults_.removeObjectForKey("k"));
        EXPECT_EQ(vztest::readFile(store_), c.content) << "reads and no-op writes leave it alone";
        EXPECT_TRUE(namesIn(folder_, "defaults.plist.damaged-").empty());

        ASSERT_TRUE(defaults_.setValueForKey("new", "value"));
        const std::vector<std::string> aside = namesIn(folder_, "defaults.plist.damaged-");
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(vztest::readFile(folder_ + "/" + aside[0]), c.content);
        EXPECT_EQ(defaults_.stringForKey("new"), "value");
        EXPECT_EQ(PlistValue::parse(vztest::readFile(store_)).count(), 1u);
    }
}

TEST_F(UserDefaultsTest, AStoreThatCannotBeWrittenReportsItAndStaysEmpty) {
    // A regular file where the folder should be.
    vztest::writeFile(dir_.file("config"), "");
    EXPECT_FALSE(defaults_.setValueForKey("k", "v"));
    EXPECT_EQ(defaults_.stringForKey("k"), std::nullopt);
}

// The path of the store when the table names none, for each way the environment may be set.
TEST(UserDefaultsPath, FollowsTheXdgRulesWhenTheTableNamesNone) {
    vztest::ScopedSystemPaths paths;
    paths.edit().userDefaults = "";
    paths.apply();
    const char* savedXdg = std::getenv("XDG_CONFIG_HOME");
    const char* savedHome = std::getenv("HOME");
    const std::optional<std::string> xdg =
        savedXdg ? std::optional<std::string>(savedXdg) : std::nullopt;
    const std::optional<std::string> home =
        savedHome ? std::optional<std::string>(savedHome) : std::nullopt;
    const std::string program = program_invocation_short_name;

    const struct {
        const char* xdgConfigHome; // nullptr: unset
        std::string expected;
    } cases[] = {
        {"/srv/conf", "/srv/conf/" + program + "/defaults.plist"},
        {"", "/home/someone/.config/" + program + "/defaults.plist"},
        {"relative/conf", "/home/someone/.config/" + program + "/defaults.plist"},
        {nullptr, "/home/someone/.config/" + program + "/defaults.plist"},
    };
    setenv("HOME", "/home/someone", 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.xdgConfigHome ? c.xdgConfigHome : "(unset)");
        if (c.xdgConfigHome)
            setenv("XDG_CONFIG_HOME", c.xdgConfigHome, 1);
        else
            unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(kx::UserDefaults::path(), c.expected);
    }
    paths.edit().userDefaults = "/elsewhere/store.plist";
    paths.apply();
    EXPECT_EQ(kx::UserDefaults::path(), "/elsewhere/store.plist");

    xdg ? setenv("XDG_CONFIG_HOME", xdg->c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    home ? setenv("HOME", home->c_str(), 1) : unsetenv("HOME");
}

// Each writer sets its own keys; a lost update would drop some of the other writer's keys.
int writeKeys(const std::string& prefix, int count) {
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        if (!kx::UserDefaults::standard().setValueForKey(prefix + std::to_string(i),
                                                         std::int64_t{i}))
            ++failures;
    }
    return failures;
}

void expectAllKeys(const std::vector<std::string>& prefixes, int count) {
    kx::UserDefaults fresh;
    for (const std::string& prefix : prefixes) {
        for (int i = 0; i < count; ++i) {
            const PlistValue value = fresh.objectForKey(prefix + std::to_string(i));
            ASSERT_TRUE(value.integer()) << prefix << i << " is missing";
            ASSERT_EQ(value.integerValue(), i);
        }
    }
    EXPECT_EQ(fresh.snapshot().root().count(), prefixes.size() * static_cast<std::size_t>(count));
}

TEST_F(UserDefaultsTest, TwoProcessesWritingDifferentKeysLoseNothing) {
    constexpr int kWrites = 200;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    std::vector<pid_t> children;
    for (const char* prefix : {"first-", "second-"}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            char start;
            close(go[1]);
            // Both begin together, once the parent closes the pipe.
            (void)!read(go[0], &start, 1);
            _exit(writeKeys(prefix, kWrites) == 0 ? 0 : 1);
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
    expectAllKeys({"first-", "second-"}, kWrites);
}

TEST_F(UserDefaultsTest, ThreadsWritingAndReadingAtOnceLoseNothing) {
    constexpr int kWrites = 50;
    std::vector<std::thread> threads;
    std::vector<int> failures(3);
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([t, &failures] {
            failures[static_cast<std::size_t>(t)] =
                writeKeys("t" + std::to_string(t) + "-", kWrites);
        });
    threads.emplace_back([this] {
        for (int i = 0; i < 200; ++i)
            (void)defaults_.objectForKey("t0-0");
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures, std::vector<int>(3, 0));
    expectAllKeys({"t0-", "t1-", "t2-"}, kWrites);
}

TEST_F(UserDefaultsTest, ACrashBetweenWriteAndRenameLeavesTheOldStore) {
    ASSERT_TRUE(defaults_.setValueForKey("keep", "old"));
    const std::string before = vztest::readFile(store_);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        kx::testing::setBeforeRenameHook([](const std::string&) { _exit(42); });
        kx::UserDefaults::standard().setValueForKey("keep", "new");
        _exit(0); // not reached when the hook runs
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 42) << "the writer did not stop before its rename";

    EXPECT_EQ(vztest::readFile(store_), before);
    EXPECT_EQ(namesIn(folder_, ".defaults.plist.").size(), 1u) << "the unfinished new file";
    EXPECT_EQ(kx::UserDefaults().stringForKey("keep"), "old");
    ASSERT_TRUE(defaults_.setValueForKey("keep", "newer"));
    EXPECT_EQ(kx::UserDefaults().stringForKey("keep"), "newer");
}

} // namespace
