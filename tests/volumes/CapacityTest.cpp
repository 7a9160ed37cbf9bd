#include "VolumesFixtures.h"
#include "support/SystemVersion.h"

#include <VivoziZevidodirid/Volumes.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>

namespace {

using vztest::FakeContainer;
using vztest::ScopedFakeDiskTool;
using vztest::ScopedMountTable;
using vztest::ScopedSystemVersion;

TEST(VolumeSizes, RootInFragmentSizeUnits) {
    // Other programs write to / while the tests run: allow this much drift between readings.
    constexpr double kDriftBytes = 512.0 * 1024 * 1024;
    ScopedSystemVersion version("13.5"); // the size text asks for it
    struct statvfs reference {};
    ASSERT_EQ(statvfs("/", &reference), 0);
    const double unit = static_cast<double>(reference.f_frsize);
    const double total = KXFoundationGetVolTotalSize("/");
    const double free = KXFoundationGetVolFreeSize("/");
    EXPECT_EQ(total, unit * static_cast<double>(reference.f_blocks));
    // The blocks reserved for the superuser count as free.
    EXPECT_NEAR(free, unit * static_cast<double>(reference.f_bfree), kDriftBytes);
    EXPECT_NEAR(KXFoundationGetVolUsedSize("/"), total - free, kDriftBytes);
    EXPECT_EQ(KXFoundationGetVolTotalSizeString("/"), KXFoundationConvertBytesToStringValue(total));
}

TEST(VolumeSizes, PathsThatNameNoFileSystemAreZero) {
    vztest::TempDir dir;
    ScopedSystemVersion version("13.5");
    const std::string missing = dir.file("missing");
    const std::optional<std::string_view> paths[] = {
        missing, std::string_view(""), std::string_view("/\0/missing", 10), std::nullopt};
    for (const auto& path : paths) {
        EXPECT_EQ(KXFoundationGetVolTotalSize(path), 0.0);
        EXPECT_EQ(KXFoundationGetVolFreeSize(path), 0.0);
        EXPECT_EQ(KXFoundationGetVolUsedSize(path), 0.0);
        EXPECT_EQ(KXFoundationGetVolTotalSizeString(path), "0 bytes");
        EXPECT_EQ(KXFoundationGetVolUsedSizeString(path), "0 bytes");
    }
}

std::vector<FakeContainer> containers() {
    return {
        {"disk1", "disk0s2", {"disk0s2"}, {}, 1000000, 250000},
        {"disk3", "disk0s3", {"disk0s3"}, {}, 8000, 1000},
        {"disk4", "disk0s4", {"disk0s4"}, {}, std::nullopt, 4096}, // no ceiling
    };
}

TEST(ApfsUsedSize, WholeContainerFromItsVolumesDevice) {
    ScopedMountTable table("/dev/disk1s1 /System/Volumes/Data apfs rw 0 0\n"
                           "/dev/disk1s5s1 / apfs rw 0 0\n"
                           "/dev/disk3s1s1 /Volumes/Three apfs rw 0 0\n"
                           "/dev/disk4s1 /Volumes/Four apfs rw 0 0\n");
    ScopedFakeDiskTool tool(vztest::apfsListingXml(containers()));
    ScopedSystemVersion version("13.5");
    EXPECT_EQ(KXFoundationGetAPFSVolUsedSize("/"), 750000.0);
    EXPECT_EQ(KXFoundationGetAPFSVolUsedSize("/System/Volumes/Data"), 750000.0);
    EXPECT_EQ(KXFoundationGetAPFSVolUsedSize("/Volumes/Three"), 7000.0); // disk3s1s1 -> disk3
    EXPECT_EQ(KXFoundationGetAPFSVolUsedSize("/Volumes/Four"), -4096.0); // missing ceiling
    EXPECT_EQ(tool.runs().size(), 4u);
}

TEST(ApfsUsedSize, FallsBackOnTheStatfsUsedSize) {
    // /dev/shm is a real tmpfs whose use hardly moves; the table says what is mounted there.
    const std::string mountPoint = "/dev/shm";
    ASSERT_GT(KXFoundationGetVolTotalSize(mountPoint), 0.0);
    struct Case {
        std::string table;
        const char* version;
        bool runsTool;
        const char* what;
    } cases[] = {
        {"/dev/disk2s2 " + mountPoint + " hfs rw 0 0\n", "13.5", true, "disk2 is no container"},
        {"tmpfs " + mountPoint + " tmpfs rw 0 0\n", "13.5", false, "no disk in the source"},
        {"//nas/share " + mountPoint + " smbfs rw 0 0\n", "13.5", false, "network share"},
        {"/dev/disk1s1 /elsewhere apfs rw 0 0\n", "13.5", false, "not a mount point"},
        {"/dev/disk1s1\xff " + mountPoint + " apfs rw 0 0\n", "13.5", false, "device not UTF-8"},
        {"/dev/disk1s1 " + mountPoint + " apfs rw 0 0\n", "10.11", false, "before 10.12"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ScopedMountTable table(c.table);
        ScopedFakeDiskTool tool(vztest::apfsListingXml(containers()));
        ScopedSystemVersion version(c.version);
        const double answer = KXFoundationGetAPFSVolUsedSize(mountPoint);
        EXPECT_NEAR(answer, KXFoundationGetVolUsedSize(mountPoint), 1024.0 * 1024);
        EXPECT_NE(answer, 750000.0);
        EXPECT_EQ(tool.runs().size(), c.runsTool ? 1u : 0u);
    }
}

} // namespace
