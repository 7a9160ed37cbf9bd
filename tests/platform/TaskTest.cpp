#include "platform/files/Descriptor.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Task.h>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

std::string readAndClose(kx::FileDescriptor fd) {
    std::string bytes;
    EXPECT_TRUE(kx::readAll(fd.get(), bytes));
    return bytes;
}

// The process's state letter, or "" when it is gone.
std::string processState(pid_t pid) {
    const std::string stat = vztest::readFile("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() ? std::string() : stat.substr(stat.rfind(')') + 2, 1);
}

// Gone or a zombie: either way it runs no more. Polls, as a reparented process dies unseen.
bool processEnds(pid_t pid) {
    for (int i = 0; i < 1000 && !processState(pid).empty() && processState(pid) != "Z"; ++i)
        usleep(10000);
    return processState(pid).empty() || processState(pid) == "Z";
}

kx::Task& configure(kx::Task& task, const std::string& path, std::vector<std::string> args) {
    task.setLaunchPath(path);
    task.setArguments(std::move(args));
    return task;
}

std::string run(kx::Task& task) {
    task.setStandardOutput(kx::Stdio::pipe());
    EXPECT_FALSE(task.launch());
    std::string out = readAndClose(task.takeStandardOutput());
    task.waitUntilExit();
    return out;
}

TEST(Task, FailedLaunchIsReportedAsStatus127) {
    kx::Task task;
    configure(task, "/nonexistent/vz-missing", {});
    EXPECT_TRUE(task.launch());
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 127);
}

TEST(Task, EnvironmentAndOnlyStandardDescriptorsReachTheChild) {
    setenv("VZ_TASK_TEST_MARK", "inherited", 1);
    // F_DUPFD clears close-on-exec, yet the child must not get this one either.
    const int leaky = fcntl(STDIN_FILENO, F_DUPFD, 200);
    const struct {
        std::vector<std::string> arguments;
        std::optional<std::vector<std::string>> environment;
        std::string output;
    } cases[] = {
        {{"printenv", "VZ_TASK_TEST_MARK"}, std::nullopt, "inherited\n"},
        {{}, std::vector<std::string>{}, ""},
        {{"ls", "/proc/self/fd"}, {}, "0\n1\n2\n3\n"}, // 3 is ls's own listing of the folder
    };
    for (const auto& c : cases) {
        kx::Task task;
        configure(task, "/usr/bin/env", c.arguments).setEnvironment(c.environment);
        EXPECT_EQ(run(task), c.output);
    }
    close(leaky);
    unsetenv("VZ_TASK_TEST_MARK");
}

TEST(Task, StreamsConnectToPipesFilesAndTheNullDevice) {
    vztest::TempDir dir;
    kx::Task task;
    configure(task, "/bin/sh", {"-c", "cat; echo oops >&2"});
    task.setStandardInput(kx::Stdio::pipe());
    task.setStandardError(kx::Stdio::pipe());
    const int file = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    task.setStandardOutput(kx::Stdio::file(file));
    close(file); // the task holds its own duplicate
    ASSERT_FALSE(task.launch());
    {
        const kx::FileDescriptor in = task.takeStandardInput();
        ASSERT_TRUE(kx::writeAll(in.get(), "piped"));
    }
    EXPECT_EQ(readAndClose(task.takeStandardError()), "oops\n");
    // Each end is handed out once; a stream that is no pipe has none.
    EXPECT_FALSE(task.takeStandardError());
    EXPECT_FALSE(task.takeStandardOutput());
    task.waitUntilExit();
    EXPECT_EQ(vztest::readFile(dir.file("out")), "piped");

    kx::Task nulls;
    configure(nulls, "/bin/sh", {"-c", "cat; echo kept; echo lost >&2"});
    nulls.setStandardInput(kx::Stdio::nullDevice());
    nulls.setStandardError(kx::Stdio::nullDevice());
    EXPECT_EQ(run(nulls), "kept\n");
}

// A leader's terminate ends its grandchild; once the leader is reaped it signals nothing, as its
// pid may name another group by then.
TEST(Task, TerminateReachesTheGroupOnlyOfAnUnreapedLeader) {
    for (const bool reapedFirst : {false, true}) {
        SCOPED_TRACE(reapedFirst);
        kx::Task task;
        configure(task, "/bin/sh",
                  {"-c", std::string("sleep 60 >/dev/null & echo $!; exec >&-; ") +
                             (reapedFirst ? "exit 0" : "wait")});
        task.setProcessGroupLeader(true);
        task.setStandardOutput(kx::Stdio::pipe());
        ASSERT_FALSE(task.launch());
        const pid_t grandchild = std::stoi(readAndClose(task.takeStandardOutput()));
        if (reapedFirst)
            task.waitUntilExit();
        task.terminate();
        task.waitUntilExit();
        EXPECT_EQ(task.terminationStatus(), reapedFirst ? 0 : 128 + SIGTERM);
        if (reapedFirst) {
            EXPECT_EQ(kill(grandchild, 0), 0);
            kill(grandchild, SIGKILL);
        } else {
            EXPECT_TRUE(processEnds(grandchild));
        }
    }
}

// A stopped process (a script that read the terminal) acts on a terminate only once continued.
TEST(Task, TerminateReachesAStoppedLeader) {
    kx::Task task;
    configure(task, "/bin/sh", {"-c", "kill -STOP $$; exec sleep 60"});
    task.setProcessGroupLeader(true);
    ASSERT_FALSE(task.launch());
    const auto state = [&] { return processState(task.processIdentifier()); };
    for (int i = 0; i < 1000 && state() != "T"; ++i)
        usleep(10000);
    ASSERT_EQ(state(), "T");
    task.terminate();
    for (int i = 0; i < 500 && task.isRunning(); ++i)
        usleep(10000);
    EXPECT_FALSE(task.isRunning());
    kill(task.processIdentifier(), SIGKILL);
    task.waitUntilExit();
}

} // namespace
