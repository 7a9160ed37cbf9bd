#include "platform/files/Descriptor.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Task.h>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

std::string readAndClose(kx::FileDescriptor fd) {
    std::string bytes;
    EXPECT_TRUE(kx::readAll(fd.get(), bytes));
    return bytes;
}

kx::Task& configure(kx::Task& task, const std::string& path, std::vector<std::string> args) {
    task.setLaunchPath(path);
    task.setArguments(std::move(args));
    return task;
}

// Launches the task, reads its standard output to the end and waits for it.
std::string run(kx::Task& task) {
    task.setStandardOutput(kx::Stdio::pipe());
    EXPECT_FALSE(task.launch());
    std::string out = readAndClose(task.takeStandardOutput());
    task.waitUntilExit();
    return out;
}

TEST(Task, FailedLaunchIsReportedAsStatus127) {
    kx::Task task;
    EXPECT_TRUE(configure(task, "/nonexistent/vz-missing", {}).launch());
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
    } cases[] = {{{"printenv", "VZ_TASK_TEST_MARK"}, std::nullopt, "inherited\n"},
                 {{"ls", "/proc/self/fd"}, {}, "0\n1\n2\n3\n"}}; // 3: ls's listing of the folder
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
    EXPECT_TRUE(kx::writeAll(task.takeStandardInput().get(), "piped")); // closed once written
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

// Once a group leader is reaped its terminate signals nothing: its pid may name another group.
TEST(Task, TerminateSparesTheGroupOfAReapedLeader) {
    kx::Task task;
    configure(task, "/bin/sh", {"-c", "sleep 60 >/dev/null & echo $!"}).setProcessGroupLeader(true);
    const pid_t grandchild = std::stoi(run(task));
    task.terminate();
    EXPECT_EQ(task.terminationStatus(), 0);
    EXPECT_FALSE(vztest::eventually([&] { return !vztest::processAlive(grandchild); }, 300ms));
    kill(grandchild, SIGKILL);
}

// A stopped process (a script that read the terminal) acts on a terminate only once continued.
TEST(Task, TerminateReachesAStoppedLeader) {
    kx::Task task;
    configure(task, "/bin/sh", {"-c", "kill -STOP $$; exec sleep 60"}).setProcessGroupLeader(true);
    ASSERT_FALSE(task.launch());
    const std::string stat = "/proc/" + std::to_string(task.processIdentifier()) + "/stat";
    ASSERT_TRUE(vztest::eventually(
        [&] { return vztest::readFile(stat).find(") T ") != std::string::npos; }, 10s));
    task.terminate();
    EXPECT_TRUE(vztest::eventually([&] { return !task.isRunning(); }, 5s));
    kill(task.processIdentifier(), SIGKILL);
    task.waitUntilExit();
}

} // namespace
