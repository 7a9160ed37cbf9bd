#include "VolumesFixtures.h"
#include "support/SystemVersion.h"

#include <VivoziZevidodirid/Volumes.h>
#include <gtest/gtest.h>

namespace {

using vztest::Name;
using vztest::ScopedMountTable;
using vztest::shown;

// A Mac-like table, with the quirks the lookups must get right.
constexpr std::string_view kTable = "proc /proc proc rw 0 0\n"
                                    "/dev/disk1s10 /System/Volumes/Update apfs rw 0 0\n"
                                    "/dev/disk1s1 / apfs rw 0 0\n"
                                    "/dev/disk1s1 /System/Volumes/Data apfs rw 0 0\n"
                                    "//me@nas/disk5s1-share /Volumes/Share smbfs rw 0 0\n"
                                    "/dev/disk5s1 /Volumes/Five hfs rw 0 0\n"
                                    "/dev/disk2s2 /Volumes/Backup hfs rw 0 0\n"
                                    "/dev/disk3s1 /Volumes/My\\040Disk apfs rw 0 0\n"
                                    "/dev/disk4s1 /Volumes/Backup apfs rw 0 0\n"
                                    "/dev/disk6s1 /Volumes/caf\xc3\xa9 apfs rw 0 0\n"
                                    "/dev/disk7s1 /Volumes/\xff\xfe hfs rw 0 0\n"
                                    "/dev/disk8s1\xff /Volumes/BadSource hfs rw 0 0\n";

TEST(MountLookups, FirstMatchInTableOrder) {
    ScopedMountTable table(kTable);
    constexpr auto fromName = getVolumeMountFromName; // mount point -> device: exact match
    constexpr auto onName = getVolumeMountOnName; // device -> mount point: begins with or contains
    struct Case {
        std::optional<std::string> (*lookup)(Name);
        Name name;
        std::optional<std::string> answer;
    } cases[] = {
        {fromName, "/", "/dev/disk1s1"},
        {fromName, "/Volumes/Backup", "/dev/disk2s2"}, // the first of two mounts there
        {fromName, "/Volumes/Backup/", ""},            // no trailing-slash folding
        {fromName, "/Volumes/Backup/Documents", ""},   // a folder inside a volume
        {fromName, "/volumes/backup", ""},             // case-sensitive
        {fromName, "/Volumes/My Disk", "/dev/disk3s1"},
        {fromName, "/Volumes/caf\xc3\xa9", "/dev/disk6s1"},
        {fromName, "/Volumes/\xff\xfe", ""},            // not UTF-8: matches nothing, even itself
        {fromName, "/Volumes/BadSource", std::nullopt}, // found, but its source does not decode
        {fromName, "", ""},
        {fromName, std::nullopt, ""},
        {onName, "disk2s2", "/Volumes/Backup"},
        {onName, "/dev/disk2s2", "/Volumes/Backup"},
        {onName, "disk3s1", "/Volumes/My Disk"},
        {onName, "disk1s1", "/System/Volumes/Update"}, // /dev/disk1s10 is listed first
        {onName, "/dev/disk5s1", "/Volumes/Share"}, // the share merely contains it, but comes first
        {onName, "", "/System/Volumes/Update"},     // "/dev/" begins every device source but proc's
        {onName, "disk7s1", std::nullopt},          // found, but its mount point does not decode
        {onName, "disk8s1", ""},                    // the source that is not UTF-8 matches nothing
        {onName, "disk9", ""},
        {onName, std::nullopt, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.lookup(c.name), c.answer) << shown(c.name);
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
        Name path;
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
        EXPECT_EQ(GetVolumeAPFS(c.path), c.apfs) << shown(c.path);
}

TEST(GetVolumeAPFS, RootTypeAndSystemVersionDecideSlash) {
    struct Case {
        const char* table;
        const char* version;
        bool apfs;
    } cases[] = {
        {"/dev/vda / ext4 rw 0 0\n", "13.5", false},
        {"/dev/disk1s1 / apfs rw 0 0\n", "10.11.6", false},
        {"/dev/disk1s1 / apfs rw 0 0\n", "10.12", true},
    };
    for (const auto& c : cases) {
        ScopedMountTable table(c.table);
        vztest::ScopedSystemVersion version(c.version);
        EXPECT_EQ(GetVolumeAPFS("/"), c.apfs) << c.table << c.version;
    }
}

TEST(MountLookups, TablesBeyondSixteenBitCounts) {
    // More entries than a 16-bit count holds; the only match is the last one.
    constexpr int kEntries = 40000;
    std::string content;
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
