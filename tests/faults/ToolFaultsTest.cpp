// Tools that misbehave: killed part way through their output, closing their output and running
// on, never ending. Each query answers what the tool printed, or its neutral answer, and leaves
// no child process or descriptor behind.
#include "runner/ProgressPause.h"
#include "stress/support/FakeSystem.h"
#include "stress/support/Leftovers.h"
#include "support/DbusDaemon.h"

#include <VivoziZevidodirid/Privacy.h>
#include <VivoziZevidodirid/Runner.h>
#include <VivoziZevidodirid/Tools.h>
#include <VivoziZevidodirid/Version.h>
#include <VivoziZevidodirid/Volumes.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Waits for a tool to say it has started by writing its pid; 0 when it never does.
pid_t waitForPidFile(const std::string& path) {
    for (int i = 0; i < 3000; ++i) {
        const std::string text = vztest::readFile(path);
        if (!text.empty() && text.back() == '\n')
            return std::stoi(text);
        std::this_thread::sleep_for(10ms);
    }
    return 0;
}

bool processGone(pid_t pid) {
    return kill(pid, 0) != 0 && errno == ESRCH;
}

TEST(ToolFaults, ToolKilledPartWayThroughItsOutput) {
    vztest::FakeSystem system;
    const std::string listing = system.file("listing.plist");
    const auto diskutilKilledBy = [&](const char* signal) {
        return "/bin/head -c 300 '" + listing + "'\nkill -" + signal + " $$\n";
    };
    const struct {
        const char* what;
        const char* tool;
        std::string body;
        std::function<void()> check;
    } cases[] = {
        {"diskutil, SIGKILL", "diskutil", diskutilKilledBy("KILL"),
         [] {
             EXPECT_TRUE(getAPFSContainer("disk1").isAbsent());
             EXPECT_EQ(getAPFSDataVolume("disk1"), std::nullopt);
             EXPECT_EQ(getAPFSVolumeRole("disk1s3"), APFSVolumeRoleNone);
             // No container: the statfs fallback, and nothing is mounted there on this system.
             EXPECT_EQ(KXFoundationGetAPFSVolUsedSize("/Volumes/Data"), 0.0);
         }},
        {"diskutil, SIGSEGV", "diskutil", diskutilKilledBy("SEGV"),
         [] { EXPECT_EQ(getAPFSSystemVolume("disk1"), std::nullopt); }},
        {"diskutil, SIGPIPE after a whole listing", "diskutil",
         "/bin/cat '" + listing + "'\nkill -PIPE $$\n",
         [] { EXPECT_EQ(getAPFSRecoveryVolume("disk1"), "disk1s3"); }},
        {"tmutil, SIGTERM", "tmutil",
         "printf '<plist version=\"1.0\"><array><string>a</string>'\nkill -TERM $$\n",
         [] { EXPECT_TRUE(tmutil(std::vector<std::string>{"a"}).isAbsent()); }},
        // What the version tool printed is the answer, whatever became of the tool: nothing
        // printed reads as the empty version.
        {"sw_vers, SIGKILL before printing", "sw_vers", "kill -KILL $$\n",
         [] {
             EXPECT_EQ(KXGetCurrentSystemString(), "");
             EXPECT_EQ(KXGetCurrentSystemDictionary(), PlistValue::dictionary());
         }},
        {"sw_vers, SIGKILL after one line", "sw_vers",
         "printf 'ProductName:\\tpart\\nProductVers'\nkill -KILL $$\n",
         [] {
             EXPECT_EQ(KXGetCurrentSystemDictionary(),
                       PlistValue(PlistValue::Dictionary{{"ProductName", "part"}}));
         }},
        {"sqlite3, SIGKILL after the first row", "sqlite3",
         "/bin/head -n 1 '" + system.file("rows") + "'\nkill -KILL $$\n",
         [] { EXPECT_FALSE(isFullDiskAccessSetup()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        vztest::FakeSystem fresh; // an empty version cache each time
        const vztest::Leftovers before(fresh.folder());
        fresh.setTool(c.tool, c.body);
        c.check();
        EXPECT_EQ(vztest::Leftovers(fresh.folder()).descriptors, before.descriptors);
        EXPECT_FALSE(vztest::hasUnreapedChild());
    }
}

// The output's end of file comes when the tool closes it; the tool is then waited for, so the
// caller stays blocked until it exits, and it is reaped.
TEST(ToolFaults, ToolThatClosesItsOutputAndRunsOnIsWaitedForAndReaped) {
    vztest::FakeSystem system;
    system.setTool("diskutil", "/bin/cat '" + system.file("listing.plist") +
                                   "'\nexec >&-\n/bin/sleep 1\necho $$ > '" +
                                   system.file("finished") + "'\n");
    EXPECT_EQ(getAPFSContainer("disk1")["ContainerReference"], PlistValue("disk1"));
    const std::string finished = vztest::readFile(system.file("finished"));
    ASSERT_FALSE(finished.empty()) << "returned before the tool had finished";
    EXPECT_TRUE(processGone(std::stoi(finished)));
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

// A tool that never ends holds its caller's thread, as every query blocks while its tool runs;
// other threads go on answering, and ending the tool (as a host that gives up on it would)
// releases the caller with the neutral answer.
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
    const pid_t tool = waitForPidFile(system.file("pid"));
    ASSERT_NE(tool, 0);

    for (const vztest::Query& query : queries) {
        // Every query that runs diskutil would block the same way.
        if (query.name.starts_with("getAPFS") || query.name == "KXFoundationGetAPFSVolUsedSize")
            continue;
        EXPECT_EQ(query.run(1), "") << query.name;
    }
    EXPECT_FALSE(returned);

    ASSERT_EQ(kill(tool, SIGTERM), 0);
    blocked.join();
    EXPECT_TRUE(answer.isAbsent());
    EXPECT_TRUE(processGone(tool));
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

// The runner's script is the one tool a host can stop: a cancel from another thread ends it.
TEST(ToolFaults, NeverEndingScriptIsEndedByACancel) {
    vztest::FakeSystem system;
    vztest::NoBus noBus;
    const auto savedPause = vz::progressPause();
    vz::setProgressPause(0ns);
    system.setTool("periodic", "echo $$ > '" + system.file("pid") + "'\nexec /bin/sleep 1000000\n");
    VivoziZevidodiridFramework framework;
    PlistValue arguments = PlistValue::dictionary();
    arguments.setValueForKey("selectedScripts", PlistValue::Array{"daily"});
    ResultList results;
    std::thread run([&] {
        framework.runWithArguments(arguments, [&](const ResultList& list) { results = list; });
    });
    const pid_t script = waitForPidFile(system.file("pid"));
    ASSERT_NE(script, 0);
    framework.cancelVivoziZevidodirid();
    run.join();
    vz::setProgressPause(savedPause);

    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ((*results[0])["taskStatus"], PlistValue("Error running daily scripts"));
    EXPECT_TRUE(processGone(script));
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

} // namespace
