#include "platform/process/Bytes.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Task.h>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string readAndClose(int fd) {
    const kx::UniqueFd owned(fd);
    return kx::readToEnd(fd).str();
}

// Still our child and not yet reaped; WNOWAIT leaves it as it is.
bool isUnreapedChild(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// Gone or a zombie: either way it runs no more. Polls, as a reparented process dies unseen.
bool processEnds(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
        const std::string stat = vztest::readFile("/proc/" + std::to_string(pid) + "/stat");
        if (stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z")
            return true;
        usleep(10000);
    }
    return false;
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

TEST(Task, LaunchFailureIsStatus127AndNeverThrows) {
    vztest::TempDir dir;
    vztest::writeFile(dir.file("plain"), "#!/bin/sh\n");
    const int lowestFree = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(lowestFree);
    for (const std::string& path : {dir.file("missing"), dir.file("plain"), dir.path(),
                                    std::string(), std::string("out of descriptors")}) {
        SCOPED_TRACE(path);
        rlimit saved{};
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit limit = saved;
        if (path == "out of descriptors") // every slot below the lowest free one is taken
            limit.rlim_cur = static_cast<rlim_t>(lowestFree);
        kx::Task task;
        configure(task, path == "out of descriptors" ? "/bin/true" : path, {});
        task.setStandardOutput(kx::Stdio::pipe());
        setrlimit(RLIMIT_NOFILE, &limit);
        const std::error_code error = task.launch();
        setrlimit(RLIMIT_NOFILE, &saved);
        EXPECT_TRUE(error);
        EXPECT_EQ(error.value() == EMFILE, path == "out of descriptors");
        EXPECT_FALSE(task.isLaunched());
        EXPECT_EQ(task.takeStandardOutput(), -1);
        task.waitUntilExit();
        task.terminate();
        EXPECT_FALSE(task.isRunning());
        EXPECT_EQ(task.terminationStatus(), 127);
        EXPECT_EQ(task.processIdentifier(), 0);
    }
}

TEST(Task, ReportsExitStatusOrSignalAndReaps) {
    const std::pair<const char*, int> cases[] = {
        {"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"kill -KILL $$", 128 + SIGKILL}};
    for (const auto& [script, status] : cases) {
        SCOPED_TRACE(script);
        kx::Task task;
        configure(task, "/bin/sh", {"-c", script});
        EXPECT_EQ(task.terminationStatus(), -1);
        ASSERT_FALSE(task.launch());
        EXPECT_TRUE(task.isLaunched());
        EXPECT_EQ(task.launch(), std::errc::device_or_resource_busy); // a task launches once
        const pid_t pid = task.processIdentifier();
        task.waitUntilExit();
        EXPECT_FALSE(task.isRunning());
        EXPECT_EQ(task.terminationStatus(), status);
        EXPECT_EQ(task.processIdentifier(), pid);
        EXPECT_FALSE(isUnreapedChild(pid));
    }
}

TEST(Task, PassesArgumentsEnvironmentAndOnlyStandardDescriptors) {
    setenv("VZ_TASK_TEST_MARK", "inherited", 1);
    // Opened without close-on-exec (F_DUPFD clears it), yet the child must not get it.
    const int leaky = fcntl(open("/dev/null", O_RDONLY | O_CLOEXEC), F_DUPFD, 200);
    ASSERT_GE(leaky, 200);
    using Environment = std::optional<std::vector<std::string>>;
    const struct {
        std::vector<std::string> arguments;
        Environment environment;
        std::string output;
    } cases[] = {
        {{"printf", "[%s]", "two words", "", "*"}, {}, "[two words][][*]"},
        {{"printenv", "VZ_TASK_TEST_MARK"}, std::nullopt, "inherited\n"},
        {{}, std::vector<std::string>{}, ""},
        {{}, std::vector<std::string>{"A=1", "B=two words"}, "A=1\nB=two words\n"},
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

TEST(Task, ChildStartsWithNoSignalBlockedOrIgnored) {
    sigset_t usr2;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &usr2, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction saved {};
    sigaction(SIGINT, &ignore, &saved);
    kx::Task task;
    const std::string status =
        run(configure(task, "/bin/grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"}));
    sigaction(SIGINT, &saved, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
    ASSERT_EQ(status.size(), 50u) << status;
    EXPECT_EQ(status.substr(0, 25), "SigBlk:\t0000000000000000\n");
    // glibc's posix_spawn leaves its own two internal signals (32 and 33) ignored.
    EXPECT_EQ(std::stoull(status.substr(33), nullptr, 16) & ~0x180000000ULL, 0u) << status;
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
    EXPECT_EQ(task.takeStandardOutput(), -1);
    {
        const kx::UniqueFd in(task.takeStandardInput());
        EXPECT_EQ(task.takeStandardInput(), -1);
        ASSERT_EQ(write(in.get(), "piped", 5), 5);
    }
    EXPECT_EQ(readAndClose(task.takeStandardError()), "oops\n");
    task.waitUntilExit();
    EXPECT_EQ(vztest::readFile(dir.file("out")), "piped");

    kx::Task nulls;
    configure(nulls, "/bin/sh", {"-c", "cat; echo kept; echo lost >&2"});
    nulls.setStandardInput(kx::Stdio::nullDevice());
    nulls.setStandardError(kx::Stdio::nullDevice());
    EXPECT_EQ(run(nulls), "kept\n");

    // Left alone, a stream is the host's own.
    kx::Task inherits;
    configure(inherits, "/bin/sh", {"-c", "echo inherited >&2"});
    const int savedError = dup(2);
    const int error = open(dir.file("err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    dup2(error, 2);
    close(error);
    const std::string inheritedOut = run(inherits);
    dup2(savedError, 2);
    close(savedError);
    EXPECT_EQ(inheritedOut, "");
    EXPECT_EQ(vztest::readFile(dir.file("err")), "inherited\n");

    kx::Task badFile;
    configure(badFile, "/bin/true", {}).setStandardOutput(kx::Stdio::file(-1));
    EXPECT_EQ(badFile.launch(), std::error_code(EBADF, std::system_category()));
}

TEST(Task, TerminateBeforeLaunchOrWhileOthersWait) {
    for (const bool early : {true, false}) {
        kx::Task task;
        if (early)
            task.terminate();
        ASSERT_FALSE(configure(task, "/bin/sleep", {"60"}).launch());
        std::thread waiters[2];
        for (auto& waiter : waiters)
            waiter = std::thread([&] { task.waitUntilExit(); });
        if (!early)
            task.terminate();
        for (auto& waiter : waiters)
            waiter.join();
        EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
        EXPECT_FALSE(isUnreapedChild(task.processIdentifier()));
    }
}

// A shell that starts a grandchild, records its pid, then waits for it or exits.
pid_t startFamily(kx::Task& task, const vztest::TempDir& dir, bool leader, const char* then) {
    const std::string pidFile = dir.file("pid");
    configure(task, "/bin/sh",
              {"-c", "sleep 60 & echo $! > " + pidFile + ".w; mv " + pidFile + ".w " + pidFile +
                         "; " + then});
    task.setProcessGroupLeader(leader);
    EXPECT_FALSE(task.launch());
    for (int i = 0; i < 10000 && !vztest::fileExists(pidFile); ++i)
        usleep(1000);
    return static_cast<pid_t>(std::stol(vztest::readFile(pidFile)));
}

// A group leader's terminate ends its grandchild; a plain child's spares it, and so does one
// after the leader was reaped (its pid may name another group by then).
TEST(Task, TerminateReachesTheGroupOnlyOfAnUnreapedLeader) {
    const struct {
        bool leader;
        const char* then;
        int status;
        bool grandchildEnds;
    } cases[] = {{true, "wait", 128 + SIGTERM, true},
                 {false, "wait", 128 + SIGTERM, false},
                 {true, "exit 0", 0, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.leader ? "leader, " : "plain, ") + c.then);
        vztest::TempDir dir;
        kx::Task task;
        const pid_t grandchild = startFamily(task, dir, c.leader, c.then);
        EXPECT_EQ(getpgid(grandchild) == task.processIdentifier(), c.leader);
        if (c.status == 0) {
            task.waitUntilExit(); // the group lives on in the grandchild
            EXPECT_FALSE(task.isRunning());
        }
        task.terminate();
        task.waitUntilExit();
        EXPECT_EQ(task.terminationStatus(), c.status);
        if (c.grandchildEnds) {
            EXPECT_TRUE(processEnds(grandchild));
        } else {
            EXPECT_EQ(kill(grandchild, 0), 0);
            kill(grandchild, SIGKILL);
        }
    }
}

} // namespace
