#include "platform/linux/Statfs.h"
#include "platform/mounts/MountTable.h"
#include "platform/text/CharacterClasses.h"
#include "support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The snapshot of the table kx::SystemPaths names, one line each; a line without an entry must
// not hide the line after it.
TEST(MountTable, SnapshotDecodesTheKernelsEscapesAndSkipsWhatNoKernelWrites) {
    using namespace std::string_literals;
    using Entry = std::optional<kx::MountedFileSystem>;
    const std::pair<std::string, Entry> lines[] = {
        // The kernel escapes blank, tab, newline and backslash as three octal digits.
        {"/dev/sdb1 /mnt/My\\040Disk ext4 rw,relatime 0 0",
         {{"/dev/sdb1", "/mnt/My Disk", "ext4", "rw,relatime"}}},
        {"/dev/sda2 /mnt/tab\\011nl\\012end ext4 ro 0 0",
         {{"/dev/sda2", "/mnt/tab\tnl\nend", "ext4", "ro"}}},
        {"//srv/share\\134x /mnt/\\134040literal cifs rw 0 0",
         {{"//srv/share\\x", "/mnt/\\040literal", "cifs", "rw"}}},
        // Any other escape, a cut one and a lone backslash stay as they are.
        {"/dev/sda4 /mnt/other\\041escape ext4 rw 0 0",
         {{"/dev/sda4", "/mnt/other\\041escape", "ext4", "rw"}}},
        {"/dev/sda5 /mnt/cut\\04 xfs ctx=a\\040b,x\\",
         {{"/dev/sda5", "/mnt/cut\\04", "xfs", "ctx=a b,x\\"}}},
        // Names of other encodings are kept byte for byte.
        {"/dev/sda6 /mnt/\xff\xfe vfat rw 0 0", {{"/dev/sda6", "/mnt/\xff\xfe", "vfat", "rw"}}},
        {"/dev/nul /mnt/a\0b ext4 rw 0 0"s, std::nullopt},
        {"/dev/long /mnt/" + std::string(100000, 'x') + " ext4 rw 0 0", std::nullopt},
        {"# a comment", std::nullopt},
        {" \t", std::nullopt},
        {"\t/dev/after  /mnt/b\text4 rw 0 0 ", {{"/dev/after", "/mnt/b", "ext4", "rw"}}},
        // Missing fields read as empty; the last line needs no line feed.
        {"/dev/sdb1 /again", {{"/dev/sdb1", "/again", "", ""}}},
    };
    vztest::TempDir dir;
    std::string table;
    std::vector<kx::MountedFileSystem> expected;
    for (const auto& [line, entry] : lines) {
        table += (table.empty() ? "" : "\n") + line;
        if (entry)
            expected.push_back(*entry);
    }
    vztest::writeFile(dir.file("mounts"), table);
    vztest::ScopedSystemPaths paths;
    paths.edit().mountTable = dir.file("mounts");
    paths.apply();
    EXPECT_EQ(kx::mountedFileSystems(), expected);
    paths.edit().mountTable = dir.file("absent");
    paths.apply();
    EXPECT_TRUE(kx::mountedFileSystems().empty());
}

// A table that never ends (or never ends a line) is read only up to a bound, in a child so that
// a reader without one cannot hold the test.
TEST(MountTable, EndlessTableIsReadToABound) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(kx::readMountTable("/dev/zero").empty() ? 0 : 1);
    int status = -1;
    for (int i = 0; i < 1000 && waitpid(child, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (status == -1) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "still reading after 10 s";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(FileSystemStatistics, CountsAreInFragmentUnits) {
    // virtiofs and FUSE report a large preferred I/O size beside a small fragment size.
    struct statfs record {};
    record.f_bsize = 1 << 20;
    record.f_frsize = 4096;
    const auto statistics = kx::statisticsFromRecord(record);
    EXPECT_EQ(statistics.blockSize, 4096u);
}

TEST(CharacterClasses, TrimmingRemovesOnlyTheEndsOfEachClass) {
    using Trim = std::string_view (*)(std::string_view);
    const Trim newlines = kx::trimWhitespaceAndNewlines;
    const Trim letters = kx::trimLettersAndWhitespace;
    const struct {
        Trim trim;
        std::string input;
        std::string expected;
    } cases[] = {
        {newlines, "\u00A0\t 1 2 \r\n\u3000\u2028\u0085", "1 2"},
        {newlines, "\u200B1\u001C", "\u200B1\u001C"}, // Cf and a control outside 9-13 stay
        {letters, "Versi\u00F3n\u00A0e\u0301\u3042\U0001D400 10 a 13 \u0903", "10 a 13"},
        {letters, "10.13\n", "10.13\n"},
        {letters, "\u00B2macOS", "\u00B2"},    // No is not a letter
        {letters, "ab\342\200cd", "\342\200"}, // not UTF-8: kept
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.trim(c.input), c.expected) << c.input;
}

} // namespace
