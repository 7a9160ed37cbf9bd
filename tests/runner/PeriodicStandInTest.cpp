#include "support/TestSupport.h"

#include <VivoziZevidodirid/Task.h>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string error;
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
    // Scripts stay in its process group (field 5 of /proc/<pid>/stat), with a usable PATH.
    vztest::writeScript(root.file("cron.daily/probe"),
                        "cut -d' ' -f5 /proc/$$/stat > '" + root.file("group") +
                            "'\ntr '\\0' '\\n' < /proc/$$/environ | grep '^PATH=' > '" +
                            root.file("path") + "'\n");

    const Result result = run({"daily"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(log(), "10-x\nC\na\nb\nlinked\n"); // byte order; dotted names and "~" skipped
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(vztest::readFile(root.file("group")), std::to_string(result.pid) + "\n");
    EXPECT_NE(vztest::readFile(root.file("path")).find("/usr/bin"), std::string::npos);
}

TEST_F(PeriodicStandIn, StatusAndErrors) {
    script("cron.weekly", "a", 3);
    script("cron.weekly", "b");
    script("periodic/monthly", "mine"); // the periodic folder comes before cron
    script("cron.monthly", "cron");
    fs::create_directories(root.file("cron.daily"));
    const struct {
        const char* set;
        bool succeeds;
        const char* log;
    } sets[] = {
        {"weekly", false, "a\nb\n"}, // a failing script fails the set after every script ran
        {"monthly", true, "mine\n"},
        {"daily", true, ""},
    };
    for (const auto& c : sets) {
        SCOPED_TRACE(c.set);
        fs::remove(root.file("log"));
        EXPECT_EQ(run({c.set}).status == 0, c.succeeds);
        EXPECT_EQ(log(), c.log);
    }

    // Unknown sets and bad command lines fail with one line of error.
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

} // namespace
