#include "VolumesFixtures.h"
#include "support/SystemVersion.h"

#include <VivoziZevidodirid/Volumes.h>
#include <gtest/gtest.h>

namespace {

using vztest::ScopedMountTable;

// A Mac-like table, with the quirks the lookups must get right.
constexpr std::string_view kTable = "proc /proc proc rw 0 0\n"
                                    "/dev/disk1s1 / apfs rw 0 0\n"
                                    "/dev/disk1s10 /System/Volumes/Update apfs rw 0 0\n"
                                    "/dev/disk1s1 /System/Volumes/Data apfs rw 0 0\n"
                                    "//me@nas/disk5s1-share /Volumes/Share smbfs rw 0 0\n"
                                    "/dev/disk5s1 /Volumes/Five hfs rw 0 0\n"
                                    "/dev/disk2s2 /Volumes/Backup hfs rw 0 0\n"
                                    "/dev/disk3s1 /Volumes/My\\040Disk apfs rw 0 0\n"
                                    "/dev/disk4s1 /Volumes/Backup apfs rw 0 0\n"
                                    "/dev/disk6s1 /Volumes/caf\xc3\xa9 apfs rw 0 0\n"
                                    "/dev/disk7s1 /Volumes/\xff\xfe hfs rw 0 0\n"
                                    "/dev/disk8s1\xff /Volumes/BadSource hfs rw 0 0\n";

TEST(GetVolumeMountFromName, ExactMountPointsOnly) {
    ScopedMountTable table(kTable);
    struct Case {
        std::optional<std::string_view> mountPoint;
        std::optional<std::string> device;
    } cases[] = {
        {"/", "/dev/disk1s1"},
        {"/Volumes/Backup", "/dev/disk2s2"}, // the first of two mounts there
        {"/Volumes/Backup/", ""},            // no trailing-slash folding
        {"/Volumes/Backup/Documents", ""},   // a folder inside a volume is no mount point
        {"/volumes/backup", ""},             // case-sensitive
        {"/Volumes/My Disk", "/dev/disk3s1"},
        {"/Volumes/caf\xc3\xa9", "/dev/disk6s1"},
        {"/Volumes/\xff\xfe", ""},            // not UTF-8: matches nothing, even itself
        {"/Volumes/BadSource", std::nullopt}, // found, but its source does not decode
        {"", ""},
        {std::nullopt, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(getVolumeMountFromName(c.mountPoint), c.device)
            << (c.mountPoint ? *c.mountPoint : "(null)");
}

TEST(GetVolumeMountOnName, BeginsWithOrContainsInOnePass) {
    ScopedMountTable table(kTable);
    struct Case {
        std::optional<std::string_view> device;
        std::optional<std::string> mountPoint;
    } cases[] = {
        {"disk2s2", "/Volumes/Backup"},
        {"/dev/disk2s2", "/Volumes/Backup"},
        {"disk1s1", "/"},
        {"disk3s1", "/Volumes/My Disk"},
        // The share's source merely contains disk5s1 and comes first, so it wins.
        {"disk5s1", "/Volumes/Share"},
        {"/dev/disk5s1", "/Volumes/Share"},
        {"", "/"},                 // "/dev/" begins every device source; proc's does not
        {"disk7s1", std::nullopt}, // found, but its mount point does not decode
        {"disk8s1", ""},           // the source that is not UTF-8 matches nothing
        {"disk9", ""},
        {std::nullopt, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(getVolumeMountOnName(c.device), c.mountPoint)
            << (c.device ? *c.device : "(null)");
}

TEST(GetVolumeMountOnName, LongerDeviceListedFirstWins) {
    ScopedMountTable table("/dev/disk1s10 /System/Volumes/Update apfs rw 0 0\n"
                           "/dev/disk1s1 / apfs rw 0 0\n");
    EXPECT_EQ(getVolumeMountOnName("disk1s1"), "/System/Volumes/Update");
    EXPECT_EQ(getVolumeMountFromName("/"), "/dev/disk1s1");
}

TEST(MountLookups, UnreadableTableAnswersEmpty) {
    vztest::TempDir dir;
    vztest::ScopedSystemPaths paths;
    paths.edit().mountTable = dir.file("absent");
    paths.apply();
    vztest::ScopedSystemVersion version("13.5");
    EXPECT_EQ(getVolumeMountFromName("/"), "");
    EXPECT_EQ(getVolumeMountOnName("disk1s1"), "");
    EXPECT_FALSE(GetVolumeAPFS("/"));
}

TEST(GetVolumeAPFS, TheFirstMountWithTheSameTailDecides) {
    ScopedMountTable table("/dev/disk1s1 / apfs rw 0 0\n"
                           "/dev/disk2s2 /Volumes/X hfs rw 0 0\n"
                           "/dev/disk3s1 /private/X apfs rw 0 0\n"
                           "/dev/disk4s1 /Volumes/Backup apfs rw 0 0\n"
                           "/dev/disk5s1 /Volumes/My\\040Disk apfs rw 0 0\n"
                           "/dev/disk6s1 /Volumes/Upper APFS rw 0 0\n"
                           "/dev/disk7s1 /bad\xff/Data hfs rw 0 0\n"
                           "/dev/disk8s1 /Volumes/Data apfs rw 0 0\n");
    vztest::ScopedSystemVersion version("13.5");
    struct Case {
        std::optional<std::string_view> path;
        bool apfs;
    } cases[] = {
        {"/", true},
        {"/Users/me/Backup", true},   // decided by /Volumes/Backup, although it lies elsewhere
        {"/Volumes/Backup/", true},   // the tail is "/": the root decides
        {"/private/X", false},        // HFS+ /Volumes/X comes first with the same tail
        {"/elsewhere/My Disk", true}, // a decoded blank
        {"/Volumes/Upper", false},    // only the exact lower-case type name counts
        {"/x/Data", true},            // the entry that is not UTF-8 is passed over
        {"/Volumes/Missing", false},
        {"Backup", false}, // no slash, no tail
        {"", false},
        {std::nullopt, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(GetVolumeAPFS(c.path), c.apfs) << (c.path ? *c.path : "(null)");
}

TEST(GetVolumeAPFS, RootTypeDecidesSlash) {
    ScopedMountTable table("/dev/vda / ext4 rw 0 0\n");
    vztest::ScopedSystemVersion version("13.5");
    EXPECT_FALSE(GetVolumeAPFS("/"));
}

TEST(GetVolumeAPFS, OlderThanSierraIsNeverApfs) {
    ScopedMountTable table("/dev/disk1s1 / apfs rw 0 0\n");
    {
        vztest::ScopedSystemVersion version("10.11.6");
        EXPECT_FALSE(GetVolumeAPFS("/"));
    }
    vztest::ScopedSystemVersion version("10.12");
    EXPECT_TRUE(GetVolumeAPFS("/"));
}

TEST(MountLookups, TablesBeyondSixteenBitCounts) {
    // More entries than a 16-bit count holds; the only match is the last one.
    constexpr int kEntries = 40000;
    std::string content;
    content.reserve(kEntries * 48);
    for (int i = 0; i < kEntries - 1; ++i)
        content += "/dev/sd" + std::to_string(i) + " /mnt/m" + std::to_string(i) + " ext4 rw 0 0\n";
    content += "/dev/disk9s9 /Volumes/Last apfs rw 0 0\n";
    ScopedMountTable table(content);
    vztest::ScopedSystemVersion version("13.5");
    EXPECT_TRUE(GetVolumeAPFS("/somewhere/Last"));
    EXPECT_EQ(getVolumeMountFromName("/Volumes/Last"), "/dev/disk9s9");
    EXPECT_EQ(getVolumeMountOnName("disk9s9"), "/Volumes/Last");
}

} // namespace
