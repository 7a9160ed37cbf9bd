#include "tools/ToolRunner.h"

#include "support/TestSupport.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::set<int> openDescriptors() {
    std::set<int> fds;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        fds.insert(std::stoi(entry.path().filename()));
    return fds;
}

// Each of these tools exits 1: the status must not matter.
TEST(ToolRunner, ReadsOutputAsTextOrPropertyList) {
    const struct {
        const char* printf;
        std::optional<std::string> text;
        bool plist;
    } cases[] = {
        {"", "", false},                   // nothing printed: "" but no plist
        {"\\001\\177", "\001\177", false}, // 127 is still ASCII
        {"\\200", std::nullopt, false},    // the lowest non-ASCII byte
        {"bplist00", "bplist00", false},   // a truncated binary plist
        {"<plist><true/></plist>", "<plist><true/></plist>", true},
    };
    vztest::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.printf);
        vztest::writeScript(dir.file("tool"), std::string("printf '") + c.printf + "'\nexit 1\n");
        const vz::ToolOutput output = vz::runToolReadingOutput(dir.file("tool"), std::nullopt);
        EXPECT_EQ(vz::textFromToolOutput(output), c.text);
        EXPECT_EQ(vz::plistFromToolOutput(output).isAbsent(), !c.plist);
    }
}

TEST(ToolRunner, HugeOutputComesBackExactly) {
    vztest::TempDir dir;
    std::string content(std::size_t{64} << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i >> 12) ^ i);
    vztest::writeFile(dir.file("data"), content);
    const vz::ToolOutput output = vz::runToolReadingOutput("/bin/cat", {{dir.file("data")}});
    ASSERT_EQ(output.size(), content.size());
    EXPECT_TRUE(output == content);
}

TEST(ToolRunner, ToolThatCannotStartYieldsNothingAndLeaksNothing) {
    vztest::TempDir dir;
    vztest::writeFile(dir.file("plain"), "#!/bin/sh\necho hi\n");
    for (const std::string& path : {dir.file("missing"), dir.file("plain"), dir.path()}) {
        SCOPED_TRACE(path);
        const auto before = openDescriptors();
        const vz::ToolOutput output = vz::runToolReadingOutput(path, {{"x"}});
        EXPECT_TRUE(output.empty());
        EXPECT_EQ(vz::textFromToolOutput(output), "");
        EXPECT_EQ(openDescriptors(), before);
        siginfo_t info{};
        EXPECT_EQ(waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT), -1); // no child at all
    }
}

TEST(ToolRunner, ToolGetsNoEnvironmentButTheHostsInputAndErrorAndIsReaped) {
    vztest::TempDir dir;
    setenv("VZ_TOOL_TEST_MARK", "leaked", 1);
    vztest::writeFile(dir.file("in"), "from the host\n");
    vztest::writeScript(dir.file("tool"), "echo $$ > '" + dir.file("pid") +
                                              "'\n/bin/cat /proc/$$/environ > '" + dir.file("env") +
                                              "'\nread line\necho \"$line\" >&2\necho out\n");
    const auto redirect = [](int target, const std::string& path, int flags) {
        const int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
        dup2(fd, target);
        close(fd);
    };
    const int savedIn = dup(0), savedErr = dup(2);
    redirect(0, dir.file("in"), O_RDONLY);
    redirect(2, dir.file("err"), O_WRONLY | O_CREAT);
    const vz::ToolOutput output = vz::runToolReadingOutput(dir.file("tool"), std::nullopt);
    dup2(savedIn, 0);
    dup2(savedErr, 2);
    close(savedIn);
    close(savedErr);
    unsetenv("VZ_TOOL_TEST_MARK");

    EXPECT_TRUE(output == "out\n");
    EXPECT_EQ(vztest::readFile(dir.file("err")), "from the host\n");
    EXPECT_TRUE(vztest::fileExists(dir.file("env")));
    EXPECT_EQ(vztest::readFile(dir.file("env")), "");
    const pid_t pid = std::stoi(vztest::readFile(dir.file("pid")));
    siginfo_t info{};
    EXPECT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT), -1);
    EXPECT_EQ(errno, ECHILD);
}

} // namespace
