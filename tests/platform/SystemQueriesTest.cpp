#include "platform/linux/Statfs.h"
#include "platform/mounts/MountTable.h"
#include "platform/text/CharacterClasses.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

TEST(MountTable, DecodesTheKernelsEscapesAndKeepsTableOrder) {
    vztest::TempDir dir;
    // The kernel escapes blank, tab, newline and backslash as three octal digits; nothing else.
    vztest::writeFile(dir.file("mounts"), "/dev/sdb1 /mnt/My\\040Disk ext4 rw 0 0\n"
                                          "/dev/sda2 /mnt/tab\\011nl\\012end ext4 rw 0 0\n"
                                          "//srv/share\\134x /mnt/\\134040literal cifs rw 0 0\n"
                                          "/dev/sda4 /mnt/other\\041escape ext4 rw 0 0\n"
                                          "/dev/sdb1 /again ext4 rw 0 0\n");
    const std::vector<kx::MountEntry> expected = {
        {"/dev/sdb1", "/mnt/My Disk", "ext4"},           {"/dev/sda2", "/mnt/tab\tnl\nend", "ext4"},
        {"//srv/share\\x", "/mnt/\\040literal", "cifs"}, // an escaped backslash before digits
        {"/dev/sda4", "/mnt/other\\041escape", "ext4"},  {"/dev/sdb1", "/again", "ext4"},
    };
    EXPECT_EQ(kx::readMountTable(dir.file("mounts")), expected);
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
