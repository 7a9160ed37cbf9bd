#include "platform/mounts/MountTable.h"

#include "platform/mounts/Utf8.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kx {
void PrintTo(const MountEntry& entry, std::ostream* out) {
    *out << "{" << entry.source << " | " << entry.mountPoint << " | " << entry.type << "}";
}
} // namespace kx

namespace {

using kx::MountEntry;

std::vector<MountEntry> readTable(std::string_view content) {
    vztest::TempDir dir;
    const std::string path = dir.file("mounts");
    vztest::writeFile(path, content);
    return kx::readMountTable(path);
}

TEST(MountTable, DecodesTheKernelsEscapesAndKeepsOrderAndRawBytes) {
    // The kernel escapes blank, tab, newline and backslash as three octal digits; nothing else.
    const auto entries = readTable("# a comment line\n"
                                   "/dev/sda1 /mnt/My\\040Disk ext4 rw 0 0\n"
                                   "\n"
                                   "/dev/sda2 /mnt/tab\\011newline\\012end ext4 rw 0 0\n"
                                   "//server/share\\134x /mnt/back\\134slash cifs rw 0 0\n"
                                   "/dev/sda3 /mnt/\\134040literal ext4 rw 0 0\n"
                                   "/dev/sda4 /mnt/other\\041escape ext4 rw 0 0\n"
                                   "/dev/caf\xc3\xa9 /Volumes/\xff\xfe hfs rw 0 0\n"
                                   "/dev/sda1 /again ext4 rw 0 0\n");
    const std::vector<MountEntry> expected = {
        {"/dev/sda1", "/mnt/My Disk", "ext4"},
        {"/dev/sda2", "/mnt/tab\tnewline\nend", "ext4"},
        {"//server/share\\x", "/mnt/back\\slash", "cifs"},
        {"/dev/sda3", "/mnt/\\040literal", "ext4"}, // an escaped backslash before digits
        {"/dev/sda4", "/mnt/other\\041escape", "ext4"},
        {"/dev/caf\xc3\xa9", "/Volumes/\xff\xfe", "hfs"},
        {"/dev/sda1", "/again", "ext4"},
    };
    EXPECT_EQ(entries, expected);
}

TEST(MountTable, LongestNamesTheKernelCanWriteStayWhole) {
    // PATH_MAX bytes of blanks, each escaped to four bytes, for both names.
    std::string escaped;
    for (int i = 0; i < 4095; ++i)
        escaped += "\\040";
    const std::string content =
        "/" + escaped + " /" + escaped + " ext4 rw 0 0\n/dev/next /next ext4 rw 0 0\n";
    const auto entries = readTable(content);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].source, "/" + std::string(4095, ' '));
    EXPECT_EQ(entries[0].mountPoint, "/" + std::string(4095, ' '));
    EXPECT_EQ(entries[1], (MountEntry{"/dev/next", "/next", "ext4"}));
}

TEST(MountTable, MissingTableReadsEmpty) {
    vztest::TempDir dir;
    kx::MountTableReader reader(dir.file("absent"));
    kx::MountEntryView entry;
    EXPECT_FALSE(reader.isOpen() || reader.next(entry));
    EXPECT_TRUE(kx::readMountTable(dir.file("absent")).empty());
}

TEST(Utf8, AcceptsWellFormedAndRejectsEveryIllFormedKind) {
    struct Case {
        std::string bytes;
        bool valid;
        const char* what;
    } cases[] = {
        {"", true, "empty"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x92\xbe", true, "two, three and four bytes"},
        {"\xf4\x8f\xbf\xbf", true, "U+10FFFF"},
        {std::string("a\0b", 3), true, "NUL is a code point"},
        {"\xff", false, "never a UTF-8 byte"},
        {"\x80", false, "lone continuation"},
        {"\xc3", false, "truncated at the end"},
        {"\xc3(", false, "lead without its continuation"},
        {"\xc0\xaf", false, "overlong slash"},
        {"\xe0\x80\xaf", false, "overlong three-byte slash"},
        {"\xed\xa0\x80", false, "surrogate U+D800"},
        {"\xf4\x90\x80\x80", false, "past U+10FFFF"},
        {"ok\xe2\x82", false, "truncated after valid text"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kx::isValidUtf8(c.bytes), c.valid) << c.what;
}

} // namespace
