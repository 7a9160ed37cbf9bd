// The bundled sample sets in a demo folder where someone planted links or files of their own:
// whatever happens inside, nothing outside the folder may change, and no file that is not the
// sets' own may be read into what they write.
#include "Child.h"
#include "cli/Commands.h"
#include "cli/DemoFolder.h"
#include "cli/Layout.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

namespace {

namespace fs = std::filesystem;
using namespace vivozi;
using namespace vztest;

// Every entry under a folder, links not followed: kind, permissions, size and target, then the
// files' contents.
std::string snapshot(const std::string& root) {
    return shell("cd " + quote(root) +
                 " && find . -printf '%y %m %s %p %l\n' -type f -exec cat {} \\;")
        .out;
}

// Each sample script in the order periodic runs them, with the environment periodic gives.
void runSampleSets(const std::string& demo) {
    shell("cd " + quote(VZ_SOURCE_DIR "/examples/periodic") +
          " && for script in daily/* weekly/* monthly/*; do env -i VIVOZI_DEMO_DIR=" + quote(demo) +
          " PATH=/usr/bin:/bin \"$PWD/$script\" >/dev/null 2>&1; done");
}

TEST(DemoSets, PlantedLinksReachNothingOutside) {
    // The cache's pages are named by the time they are written.
    for (const std::string& plant :
         lines(shell("for n in 0 1 2 3; do date -d \"+$n seconds\" +cache/index-%H%M%S.html; done; "
                     "printf '%s\\n' archive log maintenance.log reports/usage.txt log/app.log "
                     "log/app.log.1")
                   .out)) {
        SCOPED_TRACE(plant);
        TempDir top;
        const std::string demo = prepareDemoFolder(top.file("demo"));
        runSampleSets(demo); // every folder and file of a run exists
        // Outside: a folder of eight files and a secret, where the links point.
        fs::create_directories(top.file("outside/folder"));
        for (int i = 0; i < 8; ++i)
            writeFile(top.file("outside/folder/file" + std::to_string(i)), "keep me");
        writeFile(top.file("outside/secret"), "SECRET-NOT-THE-SETS");
        const auto before = snapshot(top.file("outside"));
        fs::remove_all(demo + "/" + plant);
        fs::create_symlink(
            top.file(plant == "archive" || plant == "log" ? "outside/folder" : "outside/secret"),
            demo + "/" + plant);
        runSampleSets(demo);
        runSampleSets(demo);
        EXPECT_EQ(snapshot(top.file("outside")), before);
        // Not copied in either, compressed or archived.
        const std::string find = "find -P " + quote(demo) + " -type f -exec zcat -f {} +";
        EXPECT_NE(shell(find + " | grep -q SECRET-NOT").status, 0);
    }
}

TEST(DemoSets, OnlyAFolderOfTheirOwnIsUsed) {
    TempDir top;
    const std::string users = top.file("users-folder");
    for (const char* file : {"archive/a.pdf", "archive/b.pdf", "cache/picture.jpg", "log/x.gz"}) {
        fs::create_directories(fs::path(users) / fs::path(file).parent_path());
        writeFile(users + "/" + file, "the user's own");
    }
    const auto before = snapshot(users);
    // The sets themselves refuse it, however they are started, and vivozi does not mark it.
    runSampleSets(users);
    EXPECT_THROW(prepareDemoFolder(users), UsageError);
    EXPECT_EQ(snapshot(users), before);

    const struct {
        const char* name;
        int mode; // 0: not made, -1: a link to /tmp
        bool marked;
        uid_t owner; // 0: the test's own
        bool usable;
    } cases[] = {{"new", 0, false, 0, true},
                 {"empty", 0755, false, 0, true},
                 {"marked", 0755, true, 0, true},
                 {"link", -1, false, 0, false},
                 {"writable by others", 0777, false, 0, false},
                 {"another user's", 0755, false, 65534, false}};
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
                writeFile(path + "/" + file, "");
        if (c.usable) {
            EXPECT_EQ(prepareDemoFolder(path), path);
            EXPECT_TRUE(fileExists(path + "/" + kDemoMark));
        } else {
            EXPECT_THROW(prepareDemoFolder(path), UsageError);
        }
    }
}

// A sparse file of gigabytes where the sets keep a log must not make them run for minutes.
TEST(DemoSets, HugeFilesAreLeftAlone) {
    TempDir top;
    const std::string demo = prepareDemoFolder(top.file("demo"));
    runSampleSets(demo);
    ASSERT_EQ(truncate((demo + "/log/app.log.1").c_str(), 8LL << 30), 0);
    const auto start = Clock::now();
    runSampleSets(demo);
    EXPECT_LT(Clock::now() - start, 20s);
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
