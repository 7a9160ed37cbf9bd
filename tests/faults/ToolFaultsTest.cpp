// Tools that misbehave: killed part way through their output, closing their output and running
// on, never ending. Each query answers what the tool printed, or its neutral answer, and leaves
// no child process or descriptor behind.
#include "runner/ProgressPause.h"
#include "stress/support/FakeSystem.h"
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
using Fake = const vztest::FakeSystem&;

// A tool body that writes its pid to path and then sleeps for good.
std::string sleepsForever(const std::string& pidPath) {
    return "echo $$ > '" + pidPath + "'\nexec /bin/sleep 1000000\n";
}

// Waits for such a tool to have started; 0 when it never does.
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

// Each body's "@" stands for the fake system's folder.
TEST(ToolFaults, MisbehavingToolAnswersWhatItPrintedAndIsReaped) {
    const struct {
        const char* what;
        const char* tool;
        std::string body;
        std::function<void(Fake)> check;
    } cases[] = {
        {"diskutil, SIGKILL part way", "diskutil",
         "/bin/head -c 300 @/listing.plist\nkill -KILL $$\n",
         [](Fake) {
             EXPECT_TRUE(getAPFSContainer("disk1").isAbsent());
             EXPECT_EQ(getAPFSDataVolume("disk1"), std::nullopt);
             EXPECT_EQ(getAPFSVolumeRole("disk1s3"), APFSVolumeRoleNone);
             // No container: the statfs fallback, and nothing is mounted there on this system.
             EXPECT_EQ(KXFoundationGetAPFSVolUsedSize("/Volumes/Data"), 0.0);
         }},
        {"diskutil, SIGPIPE after a whole listing", "diskutil",
         "/bin/cat @/listing.plist\nkill -PIPE $$\n",
         [](Fake) { EXPECT_EQ(getAPFSRecoveryVolume("disk1"), "disk1s3"); }},
        // End of file comes when the tool closes its output, but the caller waits for its exit.
        {"diskutil, closes its output and runs on", "diskutil",
         "/bin/cat @/listing.plist\nexec >&-\n/bin/sleep 1\necho $$ > @/finished\n",
         [](Fake system) {
             EXPECT_EQ(getAPFSContainer("disk1")["ContainerReference"], PlistValue("disk1"));
             const std::string finished = vztest::readFile(system.file("finished"));
             ASSERT_FALSE(finished.empty()) << "returned before the tool had finished";
             EXPECT_TRUE(processGone(std::stoi(finished)));
         }},
        {"tmutil, SIGTERM part way", "tmutil",
         "printf '<plist version=\"1.0\"><array><string>a</string>'\nkill -TERM $$\n",
         [](Fake) { EXPECT_TRUE(tmutil(std::vector<std::string>{"a"}).isAbsent()); }},
        // What the version tool printed is the answer, whatever became of the tool.
        {"sw_vers, SIGKILL before printing", "sw_vers", "kill -KILL $$\n",
         [](Fake) {
             EXPECT_EQ(KXGetCurrentSystemString(), "");
             EXPECT_EQ(KXGetCurrentSystemDictionary(), PlistValue::dictionary());
         }},
        {"sw_vers, SIGKILL after one line", "sw_vers",
         "printf 'ProductName:\\tpart\\nProductVers'\nkill -KILL $$\n",
         [](Fake) {
             EXPECT_EQ(KXGetCurrentSystemDictionary(),
                       PlistValue(PlistValue::Dictionary{{"ProductName", "part"}}));
         }},
        {"sqlite3, SIGKILL after the first row", "sqlite3",
         "/bin/head -n 1 @/rows\nkill -KILL $$\n",
         [](Fake) { EXPECT_FALSE(isFullDiskAccessSetup()); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        vztest::FakeSystem system; // an empty version cache each time
        const auto before = vztest::leftovers();
        std::string body;
        for (const char ch : c.body)
            body += ch == '@' ? "'" + system.folder() + "'" : std::string(1, ch);
        system.setTool(c.tool, body);
        c.check(system);
        EXPECT_EQ(vztest::leftovers(), before);
        EXPECT_FALSE(vztest::hasUnreapedChild());
    }
}

// A tool that never ends holds its caller's thread; other threads go on answering, and ending
// the tool (as a host that gives up on it would) releases the caller with the neutral answer.
TEST(ToolFaults, ToolThatNeverEndsBlocksOnlyItsCaller) {
    vztest::FakeSystem system;
    const auto queries = vztest::everyQuery(system);
    system.setTool("diskutil", sleepsForever(system.file("pid")));
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
    system.setTool("periodic", sleepsForever(system.file("pid")));
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
