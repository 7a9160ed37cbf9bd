#include "platform/linux/Statfs.h"
#include "platform/mounts/MountTable.h"
#include "platform/text/CharacterClasses.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The snapshot of the table kx::SystemPaths names, one line each (the last without a line feed);
// a line without an entry must not hide the line after it.
TEST(MountTable, SnapshotDecodesTheKernelsEscapesAndSkipsWhatNoKernelWrites) {
    using namespace std::string_literals;
    // The kernel escapes blank, tab, newline and backslash as three octal digits; any other
    // escape, a cut one and a lone backslash stay as they are, as do bytes of other encodings.
    // An entry with source "": the line gives none.
    const std::pair<std::string, kx::MountedFileSystem> lines[] = {
        {"/d/a /m/My\\040Disk ext4 rw 0 0", {"/d/a", "/m/My Disk", "ext4", "rw"}},
        {"/d/b /m/tab\\011nl\\012end ext4 ro 0 0", {"/d/b", "/m/tab\tnl\nend", "ext4", "ro"}},
        {"//s/s\\134x /m/\\134040l cifs rw 0 0", {"//s/s\\x", "/m/\\040l", "cifs", "rw"}},
        {"/d/c /m/other\\041escape ext4 rw 0 0", {"/d/c", "/m/other\\041escape", "ext4", "rw"}},
        {"/d/d /m/cut\\04 xfs ctx=a\\040b,x\\", {"/d/d", "/m/cut\\04", "xfs", "ctx=a b,x\\"}},
        {"/d/e /m/\xff\xfe vfat rw 0 0", {"/d/e", "/m/\xff\xfe", "vfat", "rw"}},
        {"/d/nul /m/a\0b ext4 rw 0 0"s, {}},
        {"/d/long /m/" + std::string(100000, 'x') + " ext4 rw 0 0", {}},
        {"# a comment", {}},
        {" \t", {}},
        {"\t/d/after  /m/b\text4 rw 0 0 ", {"/d/after", "/m/b", "ext4", "rw"}},
        {"/d/f /again", {"/d/f", "/again", "", ""}}}; // missing fields read as empty
    vztest::TempDir dir;
    std::string table;
    std::vector<kx::MountedFileSystem> expected;
    for (const auto& [line, entry] : lines) {
        table += (table.empty() ? "" : "\n") + line;
        if (!entry.source.empty())
            expected.push_back(entry);
    }
    vztest::writeFile(dir.file("mounts"), table);
    vztest::ScopedSystemPaths paths;
    paths.set(&kx::SystemPaths::mountTable, dir.file("mounts"));
    EXPECT_EQ(kx::mountedFileSystems(), expected);
    paths.set(&kx::SystemPaths::mountTable, dir.file("absent"));
    EXPECT_TRUE(kx::mountedFileSystems().empty());
}

// A table that never ends (or never ends a line) is read only up to a bound; read in a child that
// an alarm ends, so that a reader without one cannot hold the test.
TEST(MountTable, EndlessTableIsReadToABound) {
    const pid_t child = fork();
    if (child == 0) {
        alarm(10);
        _exit(kx::readMountTable("/dev/zero").empty() ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "still reading after 10 s";
}

TEST(FileSystemStatistics, CountsAreInFragmentUnits) {
    struct statfs record {};
    record.f_bsize = 1 << 20; // virtiofs and FUSE: a large preferred I/O size, a small fragment
    record.f_frsize = 4096;
    EXPECT_EQ(kx::statisticsFromRecord(record).blockSize, 4096u);
}

TEST(CharacterClasses, TrimmingRemovesOnlyTheEndsOfEachClass) {
    const auto newlines = kx::trimWhitespaceAndNewlines, letters = kx::trimLettersAndWhitespace;
    const struct {
        std::string_view (*trim)(std::string_view);
        std::string input, expected;
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
