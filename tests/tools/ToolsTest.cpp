#include "support/TestSupport.h"
#include "tools/ToolRunner.h"

#include <VivoziZevidodirid/Tools.h>
#include <atomic>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace {

TEST(ToolRunner, ReadsOutputAsTextOrPropertyListWhateverTheStatus) {
    vztest::TempDir dir;
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
    for (const auto& c : cases) {
        vztest::writeScript(dir.file("tool"), std::string("printf '") + c.printf + "'\nexit 1\n");
        const vz::ToolOutput output = vz::runToolReadingOutput(dir.file("tool"), std::nullopt);
        EXPECT_EQ(vz::textFromToolOutput(output), c.text);
        EXPECT_EQ(vz::plistFromToolOutput(output).isAbsent(), !c.plist);
    }
    // A tool that cannot start yields nothing; a large output comes back exactly.
    EXPECT_EQ(vz::textFromToolOutput(vz::runToolReadingOutput(dir.file("missing"), {{"x"}})), "");
    std::string content(std::size_t{16} << 20, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i >> 12) ^ i);
    vztest::writeFile(dir.file("data"), content);
    EXPECT_TRUE(vz::runToolReadingOutput("/bin/cat", {{dir.file("data")}}) == content);
}

long residentBytes() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

// Cut off at the cap: unreadable, about the cap held at most, and the whole group gone.
TEST(ToolRunner, EndlessOutputStopsAtTheCapAndEndsTheToolsGroup) {
    constexpr long kCap = 8 << 20;
    vz::testing::setToolOutputLimit(kCap);
    vztest::TempDir dir;
    vztest::writeScript(dir.file("tool"), "/bin/sleep 1000 &\necho $$ $! > '" + dir.file("pids") +
                                              "'\nexec /usr/bin/yes\n");
    const auto pids = [&] {
        std::vector<pid_t> found(2);
        std::istringstream(vztest::readFile(dir.file("pids"))) >> found[0] >> found[1];
        return found;
    };
    // Without the cap the caller would grow until killed: the watchdog ends the tool first.
    const long baseline = residentBytes();
    std::atomic<long> peak{0};
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (; !done; std::this_thread::sleep_for(std::chrono::microseconds(500)))
            if ((peak = std::max(peak.load(), residentBytes() - baseline)) > 32 * kCap)
                for (const pid_t pid : pids())
                    if (pid > 0)
                        kill(pid, SIGKILL);
    });
    const vz::ToolOutput output = vz::runToolReadingOutput(dir.file("tool"), std::nullopt);
    done = true;
    watchdog.join();
    vz::testing::setToolOutputLimit(0);
    EXPECT_TRUE(output.empty() && output.isUnreadable());
    EXPECT_LT(peak.load(), 8 * kCap); // room for a sanitizer's shadow of the buffer
    for (const pid_t pid : pids()) {
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(vztest::eventually([&] { return !vztest::processAlive(pid); })) << pid;
        kill(pid, SIGKILL);
    }
    EXPECT_FALSE(vztest::hasUnreapedChild());
}

TEST(Tmutil, PassesArgumentsUnchangedAndReadsAPropertyList) {
    vztest::TempDir dir;
    vztest::ScopedSystemPaths paths;
    paths.set(&kx::SystemPaths::tmutil, dir.file("tmutil"));
    // Prints a property list only when given arguments.
    vztest::writeScript(dir.file("tmutil"),
                        "for a in \"$@\"; do printf '[%s]' \"$a\"; done > '" + dir.file("args") +
                            "'\n[ $# = 0 ] && echo Usage || echo '<plist><true/></plist>'\n");
    EXPECT_TRUE(tmutil({{"two words", "", "*", "$HOME"}}).boolValue());
    EXPECT_EQ(vztest::readFile(dir.file("args")), "[two words][][*][$HOME]");
    EXPECT_TRUE(tmutil(std::nullopt).isAbsent());
}

} // namespace
