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
        paths_.edit().userDefaults = store_;
        paths_.apply();
        fs::create_directories(folder_);
    }

    vztest::TempDir dir_;
    const std::string folder_ = dir_.file("program");
    const std::string store_ = folder_ + "/defaults.plist";
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

TEST_F(UserDefaultsTest, TwoProcessesWritingDifferentKeysLoseNothing) {
    constexpr int kWrites = 100;
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    PlistValue::Dictionary expected;
    for (const char* prefix : {"a-", "b-"}) {
        for (int i = 0; i < kWrites; ++i)
            expected.emplace_back(prefix + std::to_string(i), i);
        if (fork() == 0) { // both start when the parent closes the pipe
            char start;
            close(go[1]);
            (void)!read(go[0], &start, 1);
            for (int i = 0; i < kWrites; ++i)
                if (!kx::UserDefaults::standard().setValueForKey(prefix + std::to_string(i), i))
                    _exit(1);
            _exit(0);
        }
    }
    close(go[0]);
    close(go[1]);
    for (int status = 0; wait(&status) > 0;)
        EXPECT_EQ(status, 0) << "a write failed";
    EXPECT_EQ(kx::UserDefaults().snapshot().root(), PlistValue(expected));
}

// A relative HOME put the store under the working folder. Relative or empty variables name no
// folder: the effective user's home from the password database stands in.
TEST(UserDefaultsPath, RelativeHomeAndConfigFoldersNameNothing) {
    vztest::ScopedSystemPaths paths;
    paths.edit().userDefaults.clear();
    paths.apply();
    const passwd* account = getpwuid(geteuid());
    ASSERT_NE(account, nullptr);
    const std::string accountConfig = std::string(account->pw_dir) + "/.config";
    const std::string file = std::string("/") + program_invocation_short_name + "/defaults.plist";
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
    for (const char* name : {"HOME", "XDG_CONFIG_HOME"})
        saved.emplace_back(name, std::getenv(name) ? std::optional<std::string>(std::getenv(name))
                                                   : std::nullopt);
    const auto set = [](const char* name, const char* value) {
        value ? setenv(name, value, 1) : unsetenv(name);
    };
    struct Case {
        const char* home;
        const char* config;
        std::string store;
    };
    for (const auto& [home, config, store] :
         std::vector<Case>{{"relhome", nullptr, accountConfig + file},
                           {"relhome", "relconfig", accountConfig + file},
                           {"", "", accountConfig + file},
                           {nullptr, nullptr, accountConfig + file},
                           {"relhome", "/abs/config", "/abs/config" + file},
                           {"/abs/home", "relconfig", "/abs/home/.config" + file}}) {
        set("HOME", home);
        set("XDG_CONFIG_HOME", config);
        EXPECT_EQ(kx::UserDefaults::path(), store)
            << "HOME=" << (home ? home : "(unset)")
            << " XDG_CONFIG_HOME=" << (config ? config : "(unset)");
    }
    for (const auto& [name, value] : saved)
        set(name, value ? value->c_str() : nullptr);
}

} // namespace
