#include "platform/defaults/UserDefaults.h"

#include "support/TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <pwd.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string plistWith(const std::string& key, const std::string& value) {
    return PlistValue(PlistValue::Dictionary{{key, value}}).xml();
}

class UserDefaultsTest : public ::testing::Test {
protected:
    UserDefaultsTest() {
        paths_.set(&kx::SystemPaths::userDefaults, store_);
        fs::create_directories(folder_);
    }

    vztest::TempDir dir_;
    const std::string folder_ = dir_.file("program"), store_ = folder_ + "/defaults.plist";
    vztest::ScopedSystemPaths paths_;
    kx::UserDefaults& defaults_ = kx::UserDefaults::standard();
};

TEST_F(UserDefaultsTest, EachGetterReadsItsOwnKindOnly) {
    const PlistValue nested(PlistValue::Dictionary{{"inner", "x"}});
    ASSERT_TRUE(defaults_.setValueForKey("string", "text"));
    ASSERT_TRUE(defaults_.setValueForKey("dictionary", nested));
    kx::UserDefaults restarted; // nothing cached: reads the file
    EXPECT_EQ(restarted.stringForKey("string"), "text");
    EXPECT_EQ(restarted.dictionaryForKey("dictionary"), nested);
    EXPECT_EQ(restarted.stringForKey("dictionary"), std::nullopt);
    EXPECT_TRUE(restarted.dictionaryForKey("string").isAbsent());
}

TEST_F(UserDefaultsTest, OutsideChangesAreSeenAndUnchangedFilesNotParsedAgain) {
    vztest::writeFile(store_, plistWith("k", "one"));
    const std::uint64_t before = kx::UserDefaults::parseCount();
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(defaults_.stringForKey("k"), "one");
    EXPECT_EQ(kx::UserDefaults::parseCount(), before + 1);
    vztest::writeFile(store_, plistWith("k", "two")); // in place: same inode, same size
    EXPECT_EQ(defaults_.stringForKey("k"), "two");
}

TEST_F(UserDefaultsTest, ADamagedStoreReadsEmptyAndIsMovedAsideBeforeTheFirstWrite) {
    const std::string damaged = "k = v; not XML\n";
    vztest::writeFile(store_, damaged);
    EXPECT_EQ(defaults_.stringForKey("k"), std::nullopt);
    ASSERT_TRUE(defaults_.setValueForKey("new", "value"));
    std::vector<std::string> aside;
    for (const auto& entry : fs::directory_iterator(folder_))
        if (entry.path().filename().string().starts_with("defaults.plist.damaged-"))
            aside.push_back(vztest::readFile(entry.path()));
    EXPECT_EQ(aside, std::vector<std::string>{damaged});
    EXPECT_EQ(vztest::readFile(store_), plistWith("new", "value"));
}

// Each writes for a second or more: their writes overlap.
TEST_F(UserDefaultsTest, TwoProcessesWritingDifferentKeysLoseNothing) {
    PlistValue::Dictionary expected;
    for (const char* prefix : {"a-", "b-"}) {
        if (fork() == 0) {
            for (int i = 0; i < 100; ++i)
                if (!kx::UserDefaults::standard().setValueForKey(prefix + std::to_string(i), i))
                    _exit(1);
            _exit(0);
        }
        for (int i = 0; i < 100; ++i)
            expected.emplace_back(prefix + std::to_string(i), i);
    }
    for (int status = 0; wait(&status) > 0;)
        EXPECT_EQ(status, 0) << "a write failed";
    EXPECT_EQ(kx::UserDefaults().snapshot().root(), PlistValue(expected));
}

// A relative HOME put the store under the working folder. Relative or empty variables name no
// folder: the effective user's home from the password database stands in.
TEST(UserDefaultsPath, RelativeHomeAndConfigFoldersNameNothing) {
    vztest::ScopedSystemPaths paths;
    paths.set(&kx::SystemPaths::userDefaults, "");
    const std::string account = std::string(getpwuid(geteuid())->pw_dir) + "/.config";
    const std::string file = std::string("/") + program_invocation_short_name + "/defaults.plist";
    const auto set = [](const char* name, const char* value) {
        value ? setenv(name, value, 1) : unsetenv(name);
    };
    const char* names[] = {"HOME", "XDG_CONFIG_HOME"};
    std::optional<std::string> saved[2];
    for (int i = 0; i < 2; ++i)
        if (const char* value = std::getenv(names[i]))
            saved[i] = value;
    const struct {
        const char* home;
        const char* config;
        std::string store;
    } cases[] = {{"relhome", "relconfig", account + file},
                 {nullptr, nullptr, account + file},
                 {"relhome", "/abs/config", "/abs/config" + file},
                 {"/abs/home", "relconfig", "/abs/home/.config" + file}};
    for (const auto& c : cases) {
        set("HOME", c.home);
        set("XDG_CONFIG_HOME", c.config);
        EXPECT_EQ(kx::UserDefaults::path(), c.store)
            << (c.home ? c.home : "(unset)") << ", " << (c.config ? c.config : "(unset)");
    }
    for (int i = 0; i < 2; ++i)
        set(names[i], saved[i] ? saved[i]->c_str() : nullptr);
}

} // namespace
