#include "support/TestSupport.h"

#include <VivoziZevidodirid/Task.h>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string error; // what it wrote to standard error
    pid_t pid;
};

// The stand-in, looking for its sets under a test folder instead of /etc.
class PeriodicStandIn : public ::testing::Test {
protected:
    Result run(std::vector<std::string> arguments) {
        const std::string errorFile = root.file("stderr");
        const int fd = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        kx::Task task;
        task.setLaunchPath(VZ_LIBEXEC_BUILD_DIR "/periodic");
        task.setArguments(std::move(arguments));
        task.setEnvironment(std::vector<std::string>{"VIVOZI_PERIODIC_ROOT=" + root.path()});
        task.setStandardError(kx::Stdio::file(fd));
        task.setProcessGroupLeader(true);
        close(fd);
        EXPECT_FALSE(task.launch());
        task.waitUntilExit();
        return {task.terminationStatus(), vztest::readFile(errorFile), task.processIdentifier()};
    }

    // A script that appends its name to the log, then exits with the given status.
    void script(const std::string& folder, const std::string& name, int status = 0) {
        fs::create_directories(root.file(folder));
        vztest::writeScript(root.file(folder + "/" + name), "echo " + name + " >> '" +
                                                                root.file("log") + "'\nexit " +
                                                                std::to_string(status) + "\n");
    }

    std::string log() const { return vztest::readFile(root.file("log")); }

    vztest::TempDir root;
};

TEST_F(PeriodicStandIn, RunsTheExecutableFilesOfASetInNameOrder) {
    for (const char* name : {"b", "a", "10-x", "C", "e.sh", "f~"})
        script("cron.daily", name);
    script("elsewhere", "linked");
    fs::create_symlink(root.file("elsewhere/linked"), root.file("cron.daily/h"));
    vztest::writeFile(root.file("cron.daily/d"), "#!/bin/sh\necho d >> log\n"); // not executable
    fs::create_directory(root.file("cron.daily/g"));                            // a folder

    const Result result = run({"daily"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(log(), "10-x\nC\na\nb\nlinked\n"); // byte order; dotted names and "~" skipped
    EXPECT_EQ(result.error, "");
}

TEST_F(PeriodicStandIn, AFailingScriptFailsTheSetAfterEveryScriptRan) {
    script("cron.weekly", "a", 3);
    script("cron.weekly", "b");
    const Result result = run({"weekly"});
    EXPECT_NE(result.status, 0);
    EXPECT_EQ(log(), "a\nb\n");
}

TEST_F(PeriodicStandIn, ThePeriodicFolderComesBeforeCron) {
    script("periodic/monthly", "mine");
    script("cron.monthly", "cron");
    EXPECT_EQ(run({"monthly"}).status, 0);
    EXPECT_EQ(log(), "mine\n");
}

TEST_F(PeriodicStandIn, AnEmptySetSucceeds) {
    fs::create_directories(root.file("cron.daily"));
    EXPECT_EQ(run({"daily"}).status, 0);
}

TEST_F(PeriodicStandIn, UnknownSetsAndBadCommandLinesFailWithOneLine) {
    fs::create_directories(root.file("cron.daily"));
    fs::create_directories(root.file("periodic/x/y"));
    const std::vector<std::vector<std::string>> commandLines = {
        {"nosuch"}, {""}, {"../cron.daily"}, {"x/y"}, {}, {"daily", "weekly"}};
    for (const auto& arguments : commandLines) {
        SCOPED_TRACE(arguments.empty() ? "(none)" : arguments[0]);
        const Result result = run(arguments);
        EXPECT_NE(result.status, 0);
        ASSERT_FALSE(result.error.empty());
        EXPECT_EQ(result.error.find('\n'), result.error.size() - 1) << result.error;
    }
}

TEST_F(PeriodicStandIn, ScriptsStayInItsProcessGroupWithAUsablePath) {
    fs::create_directories(root.file("cron.daily"));
    // Field 5 of /proc/<pid>/stat is the process group.
    vztest::writeScript(root.file("cron.daily/probe"),
                        "cut -d' ' -f5 /proc/$$/stat > '" + root.file("group") +
                            "'\ntr '\\0' '\\n' < /proc/$$/environ | grep '^PATH=' > '" +
                            root.file("path") + "'\n");
    const Result result = run({"daily"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(vztest::readFile(root.file("group")), std::to_string(result.pid) + "\n");
    EXPECT_NE(vztest::readFile(root.file("path")).find("/usr/bin"), std::string::npos);
}

} // namespace
