#include "platform/process/Bytes.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Task.h>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <pthread.h>
#include <set>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string readAndClose(int fd) {
    kx::UniqueFd owned(fd);
    return kx::readToEnd(fd).str();
}

std::set<int> openDescriptors() {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        fds.insert(std::stoi(entry.path().filename()));
    return fds;
}

// Still our child and not yet reaped; waitid with WNOWAIT leaves it as it is.
bool isUnreapedChild(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// Gone or a zombie: either way it runs no more. Polls, as a reparented process dies unseen.
bool processEnds(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
        const std::string stat = vztest::readFile("/proc/" + std::to_string(pid) + "/stat");
        const auto close = stat.rfind(')');
        if (stat.empty() || (close != std::string::npos && stat.substr(close + 2, 1) == "Z"))
            return true;
        usleep(10000);
    }
    return false;
}

pid_t waitForPidFile(const std::string& path) {
    for (int i = 0; i < 1000 && vztest::readFile(path).empty(); ++i)
        usleep(10000);
    return static_cast<pid_t>(std::stol(vztest::readFile(path)));
}

std::string run(kx::Task& task) {
    task.setStandardOutput(kx::Stdio::pipe());
    EXPECT_FALSE(task.launch());
    std::string out = readAndClose(task.takeStandardOutput());
    task.waitUntilExit();
    return out;
}

TEST(Task, LaunchFailureIsReportedAsStatus127WithoutLeaks) {
    vztest::TempDir dir;
    vztest::writeFile(dir.file("plain"), "#!/bin/sh\necho hi\n");
    for (const std::string& path :
         {dir.file("missing"), dir.file("plain"), dir.path(), std::string()}) {
        SCOPED_TRACE(path);
        const auto before = openDescriptors();
        kx::Task task;
        task.setLaunchPath(path);
        task.setStandardOutput(kx::Stdio::pipe());
        EXPECT_TRUE(task.launch());
        EXPECT_FALSE(task.isLaunched());
        EXPECT_EQ(task.takeStandardOutput(), -1);
        task.waitUntilExit();
        task.terminate();
        EXPECT_FALSE(task.isRunning());
        EXPECT_EQ(task.terminationStatus(), 127);
        EXPECT_EQ(task.processIdentifier(), 0);
        EXPECT_EQ(openDescriptors(), before);
    }
}

TEST(Task, OutOfDescriptorsFailsTheLaunch) {
    const int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(probe);
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(probe); // every slot below the lowest free one is taken
    setrlimit(RLIMIT_NOFILE, &low);
    kx::Task task;
    task.setLaunchPath("/bin/true");
    task.setStandardOutput(kx::Stdio::pipe());
    const std::error_code error = task.launch();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(error, std::error_code(EMFILE, std::system_category()));
    EXPECT_EQ(task.terminationStatus(), 127);
}

TEST(Task, ReportsExitStatusAndSignal) {
    const std::pair<const char*, int> cases[] = {
        {"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"kill -KILL $$", 128 + SIGKILL}};
    for (const auto& [script, status] : cases) {
        SCOPED_TRACE(script);
        kx::Task task;
        task.setLaunchPath("/bin/sh");
        task.setArguments({"-c", script});
        EXPECT_EQ(task.terminationStatus(), -1);
        ASSERT_FALSE(task.launch());
        EXPECT_TRUE(task.isLaunched());
        EXPECT_TRUE(task.launch()); // a task launches once
        const pid_t pid = task.processIdentifier();
        task.waitUntilExit();
        EXPECT_FALSE(task.isRunning());
        EXPECT_EQ(task.terminationStatus(), status);
        EXPECT_EQ(task.processIdentifier(), pid);
        EXPECT_FALSE(isUnreapedChild(pid));
    }
}

TEST(Task, PassesArgumentsUnchangedAndProgramNameFirst) {
    kx::Task task;
    task.setLaunchPath("/bin/sh");
    task.setArguments({"-c", R"(printf '[%s]' "$0" "$@")", "x", "two words", "", "*"});
    EXPECT_EQ(run(task), "[x][two words][][*]");
}

TEST(Task, EnvironmentIsInheritedEmptiedOrReplaced) {
    setenv("VZ_TASK_TEST_MARK", "inherited", 1);
    const std::pair<std::optional<std::vector<std::string>>, std::string> cases[] = {
        {std::vector<std::string>{}, ""},
        {std::vector<std::string>{"A=1", "B=two words"}, "A=1\nB=two words\n"},
    };
    for (const auto& [environment, expected] : cases) {
        kx::Task task;
        task.setLaunchPath("/usr/bin/env");
        task.setEnvironment(environment);
        EXPECT_EQ(run(task), expected);
    }
    kx::Task inheriting;
    inheriting.setLaunchPath("/usr/bin/env");
    EXPECT_NE(run(inheriting).find("VZ_TASK_TEST_MARK=inherited\n"), std::string::npos);
    unsetenv("VZ_TASK_TEST_MARK");
}

TEST(Task, ChildGetsOnlyStandardStreamsDefaultSignalsAndNoMask) {
    const int leaky = fcntl(open("/dev/null", O_RDONLY | O_CLOEXEC), F_DUPFD, 200);
    ASSERT_GE(leaky, 200);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previousAction {};
    sigaction(SIGUSR2, &ignore, &previousAction);

    kx::Task fds;
    fds.setLaunchPath("/bin/ls");
    fds.setArguments({"/proc/self/fd"});
    EXPECT_EQ(run(fds), "0\n1\n2\n3\n"); // 3 is ls's own listing of the folder
    kx::Task signals;
    signals.setLaunchPath("/bin/grep");
    signals.setArguments({"-E", "^Sig(Blk|Ign)", "/proc/self/status"});
    const std::string status = run(signals);
    ASSERT_EQ(status.size(), 50u);
    EXPECT_EQ(status.substr(0, 25), "SigBlk:\t0000000000000000\n");
    // glibc's posix_spawn leaves its own two internal signals (32 and 33) ignored.
    EXPECT_EQ(std::stoull(status.substr(33), nullptr, 16) & ~0x180000000ULL, 0u) << status;

    sigaction(SIGUSR2, &previousAction, nullptr);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    close(leaky);
}

TEST(Task, StreamsConnectToPipesFilesAndTheNullDevice) {
    vztest::TempDir dir;
    kx::Task echo;
    echo.setLaunchPath("/bin/sh");
    echo.setArguments({"-c", "cat; echo oops >&2"});
    echo.setStandardInput(kx::Stdio::pipe());
    echo.setStandardError(kx::Stdio::pipe());
    const int file = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    echo.setStandardOutput(kx::Stdio::file(file));
    close(file); // the task holds its own duplicate
    ASSERT_FALSE(echo.launch());
    EXPECT_EQ(echo.takeStandardOutput(), -1);
    {
        kx::UniqueFd in(echo.takeStandardInput());
        EXPECT_EQ(echo.takeStandardInput(), -1);
        ASSERT_EQ(write(in.get(), "piped", 5), 5);
    }
    EXPECT_EQ(readAndClose(echo.takeStandardError()), "oops\n");
    echo.waitUntilExit();
    EXPECT_EQ(vztest::readFile(dir.file("out")), "piped");

    kx::Task nulls;
    nulls.setLaunchPath("/bin/sh");
    nulls.setArguments({"-c", "cat; echo gone; echo gone >&2"});
    nulls.setStandardInput(kx::Stdio::nullDevice());
    nulls.setStandardError(kx::Stdio::nullDevice());
    EXPECT_EQ(run(nulls), "gone\n");
    EXPECT_EQ(nulls.terminationStatus(), 0);

    kx::Task badFile;
    badFile.setLaunchPath("/bin/true");
    badFile.setStandardOutput(kx::Stdio::file(-1));
    EXPECT_EQ(badFile.launch(), std::error_code(EBADF, std::system_category()));
}

TEST(Task, TerminateBeforeLaunchReachesTheChild) {
    kx::Task task;
    task.terminate();
    task.setLaunchPath("/bin/sleep");
    task.setArguments({"60"});
    ASSERT_FALSE(task.launch());
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
}

TEST(Task, TerminateFromAnotherThreadEndsAWaitingRun) {
    kx::Task task;
    task.setLaunchPath("/bin/sleep");
    task.setArguments({"60"});
    ASSERT_FALSE(task.launch());
    std::thread waiters[2];
    for (auto& waiter : waiters)
        waiter = std::thread([&] { task.waitUntilExit(); });
    EXPECT_TRUE(task.isRunning());
    task.terminate();
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
    EXPECT_FALSE(isUnreapedChild(task.processIdentifier()));
}

TEST(Task, TerminateAfterReapSignalsNothing) {
    const auto before = openDescriptors();
    kx::Task task;
    task.setLaunchPath("/bin/true");
    ASSERT_FALSE(task.launch());
    EXPECT_NE(openDescriptors(), before); // the pidfd
    task.waitUntilExit();
    EXPECT_EQ(openDescriptors(), before); // nothing left to signal through
    task.terminate();
    EXPECT_EQ(task.terminationStatus(), 0);
}

// A shell that starts a grandchild in the background, records its pid and waits (or exits).
pid_t startFamily(kx::Task& task, const vztest::TempDir& dir, bool leader, const char* then) {
    task.setLaunchPath("/bin/sh");
    task.setArguments({"-c", std::string("sleep 60 & echo $! > ") + dir.file("pid") + "; " + then});
    task.setProcessGroupLeader(leader);
    EXPECT_FALSE(task.launch());
    return waitForPidFile(dir.file("pid"));
}

TEST(Task, GroupLeaderTerminateEndsTheWholeGroup) {
    vztest::TempDir dir;
    kx::Task task;
    const pid_t grandchild = startFamily(task, dir, true, "wait");
    EXPECT_EQ(getpgid(grandchild), task.processIdentifier());
    task.terminate();
    task.waitUntilExit();
    EXPECT_EQ(task.terminationStatus(), 128 + SIGTERM);
    EXPECT_TRUE(processEnds(grandchild));
}

TEST(Task, TerminateOfAPlainChildOrAReapedLeaderSparesTheGroup) {
    for (const bool leader : {false, true}) {
        SCOPED_TRACE(leader);
        vztest::TempDir dir;
        kx::Task task;
        const pid_t grandchild = startFamily(task, dir, leader, leader ? "exit 0" : "wait");
        EXPECT_EQ(getpgid(grandchild) == getpgrp(), !leader);
        if (leader)
            task.waitUntilExit(); // the group lives on in the grandchild; its leader is reaped
        task.terminate();
        task.waitUntilExit();
        EXPECT_EQ(task.terminationStatus(), leader ? 0 : 128 + SIGTERM);
        EXPECT_EQ(kill(grandchild, 0), 0);
        kill(grandchild, SIGKILL);
    }
}

std::atomic<int> interruptions{0};

// Interrupts one thread with a handler installed without SA_RESTART for as long as it lives.
class SignalStorm {
public:
    SignalStorm() : target_(pthread_self()) {
        struct sigaction action {};
        action.sa_handler = [](int) { interruptions.fetch_add(1, std::memory_order_relaxed); };
        sigaction(SIGUSR1, &action, &saved_);
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                pthread_kill(target_, SIGUSR1);
                usleep(200);
            }
        });
    }
    ~SignalStorm() {
        stop_ = true;
        thread_.join();
        sigaction(SIGUSR1, &saved_, nullptr);
    }

private:
    pthread_t target_;
    struct sigaction saved_ {};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(Task, ReadAndWaitSurviveInterruptedSystemCalls) {
    interruptions = 0;
    std::string out;
    kx::Task task;
    {
        SignalStorm storm;
        task.setLaunchPath("/bin/sh");
        task.setArguments({"-c", "for i in 1 2 3 4 5 6 7 8 9; do echo $i; sleep 0.05; done; "
                                 "exec 1>&-; sleep 0.3; exit 7"});
        out = run(task);
    }
    EXPECT_GT(interruptions.load(), 0);
    EXPECT_EQ(out, "1\n2\n3\n4\n5\n6\n7\n8\n9\n");
    EXPECT_EQ(task.terminationStatus(), 7);
}

TEST(Bytes, ReadsFilesOfEverySizeExactly) {
    vztest::TempDir dir;
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{65536},
                                   std::size_t{65537}, std::size_t{9} << 20}) {
        SCOPED_TRACE(size);
        std::string content(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            content[i] = static_cast<char>(i * 7 + i / 4093);
        vztest::writeFile(dir.file("data"), content);
        const kx::UniqueFd file(open(dir.file("data").c_str(), O_RDONLY | O_CLOEXEC));
        kx::Bytes bytes = kx::readToEnd(file.get());
        EXPECT_TRUE(bytes == content);
        kx::Bytes copy = bytes;
        bytes = kx::Bytes("other");
        EXPECT_TRUE(copy == content);
        EXPECT_TRUE(bytes == "other");
    }
}

} // namespace
