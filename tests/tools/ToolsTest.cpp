#include "support/TestSupport.h"
#include "tools/ToolRunner.h"

#include <VivoziZevidodirid/Tools.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>

namespace {

// Each of these tools exits 1: the status must not matter.
TEST(ToolRunner, ReadsOutputAsTextOrPropertyList) {
    const struct {
        const char* printf;
        std::optional<std::string> text;
        bool plist;
    } cases[] = {
        {"", "", false},
        {"\\177", "\177", false},       // 127 is still ASCII
        {"\\200", std::nullopt, false}, // the lowest non-ASCII byte
        {"<plist><true/></plist>", "<plist><true/></plist>", true},
    };
    vztest::TempDir dir;
    for (const auto& c : cases) {
        vztest::writeScript(dir.file("tool"), std::string("printf '") + c.printf + "'\nexit 1\n");
        const vz::ToolOutput output = vz::runToolReadingOutput(dir.file("tool"), std::nullopt);
        EXPECT_EQ(vz::textFromToolOutput(output), c.text);
        EXPECT_EQ(vz::plistFromToolOutput(output).isAbsent(), !c.plist);
    }
}

TEST(ToolRunner, LargeOutputComesBackExactly) {
    vztest::TempDir dir;
    std::string content(std::size_t{16} << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i >> 12) ^ i);
    vztest::writeFile(dir.file("data"), content);
    EXPECT_TRUE(vz::runToolReadingOutput("/bin/cat", {{dir.file("data")}}) == content);
}

TEST(ToolRunner, ToolThatCannotStartYieldsNothing) {
    vztest::TempDir dir;
    vztest::writeFile(dir.file("plain"), "#!/bin/sh\necho hi\n");
    for (const std::string& path : {dir.file("missing"), dir.file("plain"), dir.path()})
        EXPECT_EQ(vz::textFromToolOutput(vz::runToolReadingOutput(path, {{"x"}})), "");
}

long residentBytes() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// A tool that prints without end is cut off at the cap: its output reads as unreadable, the
// caller holds about the cap at most, and the tool's whole group is gone, including a child
// that holds the output open without writing.
TEST(ToolRunner, EndlessOutputStopsAtTheCapAndEndsTheToolsGroup) {
    constexpr long kCap = 8 << 20;
    vz::testing::setToolOutputLimit(kCap);
    vztest::TempDir dir;
    vztest::writeScript(dir.file("tool"), "/bin/sleep 1000 &\necho $! > '" + dir.file("child") +
                                              "'\necho $$ > '" + dir.file("pid") +
                                              "'\nexec /usr/bin/yes\n");
    const auto pidIn = [&](const char* name) {
        const std::string text = vztest::readFile(dir.file(name));
        return text.ends_with('\n') ? std::stoi(text) : 0;
    };
    // Without a cap the caller would grow until killed: the watchdog ends the tool first.
    const long baseline = residentBytes();
    std::atomic<long> peak{0};
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (; !done; std::this_thread::sleep_for(std::chrono::microseconds(500))) {
            peak = std::max(peak.load(), residentBytes() - baseline);
            if (peak > 32 * kCap)
                for (const char* name : {"pid", "child"})
                    if (const int pid = pidIn(name))
                        kill(pid, SIGKILL);
        }
    });
    const vz::ToolOutput output = vz::runToolReadingOutput(dir.file("tool"), std::nullopt);
    done = true;
    watchdog.join();
    vz::testing::setToolOutputLimit(0);
    EXPECT_EQ(output.size(), 0u);
    EXPECT_FALSE(vz::textFromToolOutput(output).has_value());
    // Room for a sanitizer's shadow of the buffer (ThreadSanitizer's is several times its size);
    // without the cap the watchdog's bound of 32 caps is reached.
    EXPECT_LT(peak.load(), 8 * kCap);
    for (const char* name : {"pid", "child"}) {
        const int pid = pidIn(name);
        ASSERT_NE(pid, 0) << name;
        for (int i = 0; i < 500 && vztest::processAlive(pid); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(vztest::processAlive(pid)) << name;
        kill(pid, SIGKILL);
    }
    siginfo_t info{};
    EXPECT_NE(waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT), 0) << "a child is unreaped";
}

TEST(Tmutil, PassesArgumentsUnchangedAndReadsAPropertyList) {
    vztest::TempDir dir;
    vztest::ScopedSystemPaths paths;
    paths.edit().tmutil = dir.file("tmutil");
    paths.apply();
    // Prints a property list only when given arguments.
    vztest::writeScript(dir.file("tmutil"),
                        "for a in \"$@\"; do printf '[%s]' \"$a\"; done > '" + dir.file("args") +
                            "'\n[ $# = 0 ] && echo Usage || echo '<plist><true/></plist>'\n");
    EXPECT_TRUE(tmutil({{"two words", "", "*", "$HOME"}}).boolValue());
    EXPECT_EQ(vztest::readFile(dir.file("args")), "[two words][][*][$HOME]");
    EXPECT_TRUE(tmutil(std::nullopt).isAbsent());
    paths.edit().tmutil = dir.file("missing");
    paths.apply();
    EXPECT_TRUE(tmutil({{"list"}}).isAbsent());
}

} // namespace
