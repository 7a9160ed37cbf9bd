// The bundled sample sets in a demo folder where someone planted links or files of their own:
// whatever happens inside, nothing outside the folder may change, and no file that is not the
// sets' own may be read into what they write.
#include "cli/Commands.h"
#include "cli/DemoFolder.h"
#include "cli/Layout.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Task.h>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace vivozi;

// Every entry under a folder, links not followed: kind, permissions and contents or target.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const fs::file_status status = entry.symlink_status();
        std::string what = std::to_string(static_cast<int>(status.type())) + " " +
                           std::to_string(static_cast<int>(status.permissions()));
        if (fs::is_symlink(status))
            what += " -> " + fs::read_symlink(entry.path()).string();
        else if (fs::is_regular_file(status))
            what += " " + vztest::readFile(entry.path());
        entries[fs::relative(entry.path(), root)] = what;
    }
    return entries;
}

// Each sample script in the order periodic runs them, with the environment periodic gives.
void runSampleSets(const std::string& demo) {
    for (const char* set : {"daily", "weekly", "monthly"}) {
        std::vector<fs::path> scripts;
        for (const auto& entry :
             fs::directory_iterator(VZ_SOURCE_DIR "/examples/periodic/" + std::string(set)))
            scripts.push_back(entry.path());
        std::sort(scripts.begin(), scripts.end());
        for (const fs::path& script : scripts) {
            kx::Task task;
            task.setLaunchPath(script);
            task.setEnvironment(
                std::vector<std::string>{"VIVOZI_DEMO_DIR=" + demo, "PATH=/usr/bin:/bin"});
            task.setStandardOutput(kx::Stdio::nullDevice());
            task.setStandardError(kx::Stdio::nullDevice());
            ASSERT_FALSE(task.launch());
            task.waitUntilExit();
        }
    }
}

std::string clockStamp(int secondsAhead) {
    const std::time_t when = std::time(nullptr) + secondsAhead;
    std::tm parts{};
    localtime_r(&when, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%H%M%S", &parts);
    return text;
}

TEST(DemoSets, PlantedLinksReachNothingOutside) {
    std::vector<std::string> plants = {"archive",           "log",         "maintenance.log",
                                       "reports/usage.txt", "log/app.log", "log/app.log.1"};
    for (int ahead = 0; ahead < 4; ++ahead)
        plants.push_back("cache/index-" + clockStamp(ahead) + ".html");
    for (const std::string& plant : plants) {
        SCOPED_TRACE(plant);
        vztest::TempDir top;
        const std::string demo = prepareDemoFolder(top.file("demo"));
        runSampleSets(demo); // every folder and file of a run exists
        // Outside: a folder of eight files and a secret, where the links point.
        fs::create_directories(top.file("outside/folder"));
        for (int i = 0; i < 8; ++i)
            vztest::writeFile(top.file("outside/folder/file" + std::to_string(i)), "keep me");
        vztest::writeFile(top.file("outside/secret"), "SECRET-NOT-THE-SETS");
        const auto before = snapshot(top.file("outside"));

        fs::remove_all(demo + "/" + plant);
        const bool folder = plant == "archive" || plant == "log";
        fs::create_symlink(top.file(folder ? "outside/folder" : "outside/secret"),
                           demo + "/" + plant);
        runSampleSets(demo);
        runSampleSets(demo);

        EXPECT_EQ(snapshot(top.file("outside")), before);
        // Not copied in either, compressed or archived.
        EXPECT_NE(std::system(("find -P '" + demo +
                               "' -type f -exec zcat -f {} + 2>/dev/null | grep -q SECRET-NOT")
                                  .c_str()),
                  0);
    }
}

TEST(DemoSets, OnlyAFolderOfTheirOwnIsUsed) {
    vztest::TempDir top;
    const std::string users = top.file("users-folder");
    for (const char* file : {"archive/a.pdf", "archive/b.pdf", "cache/picture.jpg", "log/x.gz"}) {
        fs::create_directories(fs::path(users) / fs::path(file).parent_path());
        vztest::writeFile(users + "/" + file, "the user's own");
    }
    const auto before = snapshot(users);
    // The sets themselves refuse it, however they are started...
    runSampleSets(users);
    EXPECT_EQ(snapshot(users), before);
    // ...and vivozi does not mark it.
    EXPECT_THROW(prepareDemoFolder(users), UsageError);
    EXPECT_EQ(snapshot(users), before);

    const struct {
        const char* name;
        int mode; // 0: not made, -1: a link to /tmp
        bool marked;
        uid_t owner; // 0: the test's own
        bool usable;
    } cases[] = {
        {"new", 0, false, 0, true},
        {"empty", 0755, false, 0, true},
        {"marked", 0755, true, 0, true},
        {"link", -1, false, 0, false},
        {"writable by others", 0777, false, 0, false},
        {"another user's", 0755, false, 65534, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = top.file(c.name);
        if (c.mode < 0)
            fs::create_directory_symlink("/tmp", path);
        if (c.mode > 0 && !(fs::create_directory(path) && chmod(path.c_str(), c.mode) == 0 &&
                            (!c.owner || chown(path.c_str(), c.owner, c.owner) == 0)))
            FAIL() << "cannot make " << path;
        if (c.marked)
            for (const char* file : {kDemoMark, "app.log"})
                vztest::writeFile(path + "/" + file, "");
        if (c.usable) {
            EXPECT_EQ(prepareDemoFolder(path), path);
            EXPECT_TRUE(vztest::fileExists(path + "/" + kDemoMark));
        } else {
            EXPECT_THROW(prepareDemoFolder(path), UsageError);
        }
    }
}

// A sparse file of gigabytes where the sets keep a log must not make them run for minutes.
TEST(DemoSets, HugeFilesAreLeftAlone) {
    vztest::TempDir top;
    const std::string demo = prepareDemoFolder(top.file("demo"));
    runSampleSets(demo);
    ASSERT_EQ(truncate((demo + "/log/app.log.1").c_str(), 8LL << 30), 0);
    const auto start = std::chrono::steady_clock::now();
    runSampleSets(demo);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(fs::file_size(demo + "/log/app.log.1"), 8ULL << 30);
}

// With no usable HOME the demo goes to the account's home, never to a shared folder.
TEST(DemoSets, DefaultFolderIsInTheAccountsHome) {
    const passwd* account = getpwuid(getuid());
    ASSERT_NE(account, nullptr);
    const std::string expected = std::string(account->pw_dir) + "/.local/state/vivozi-demo";
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    for (const char* home : {static_cast<const char*>(nullptr), "", "relhome"}) {
        SCOPED_TRACE(home ? home : "unset");
        home ? setenv("HOME", home, 1) : unsetenv("HOME");
        setenv("XDG_STATE_HOME", "relative/state", 1);
        EXPECT_EQ(defaultDemoFolder(), expected);
    }
    setenv("HOME", savedHome.c_str(), 1);
    unsetenv("XDG_STATE_HOME");
}

} // namespace
