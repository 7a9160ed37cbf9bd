#include "platform/mounts/FileSystemStatistics.h"

#include "platform/linux/Statfs.h"
#include "support/TestSupport.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/statvfs.h>

namespace {

TEST(FileSystemStatistics, RootMatchesStatvfs) {
    const auto statistics = kx::fileSystemStatistics("/");
    struct statvfs reference {};
    ASSERT_EQ(statvfs("/", &reference), 0);
    ASSERT_TRUE(statistics);
    // The counts are in units of f_frsize, not of the preferred I/O size f_bsize.
    EXPECT_EQ(statistics->blockSize, reference.f_frsize);
    EXPECT_EQ(statistics->blocks, reference.f_blocks);
    // Other programs write to / meanwhile; a unit or field mix-up is far larger than this slack.
    const double slackBlocks = 65536.0;
    EXPECT_NEAR(static_cast<double>(statistics->freeBlocks), static_cast<double>(reference.f_bfree),
                slackBlocks);
    // Free counts the superuser's reserve too, so it is never below what users may still write.
    EXPECT_GE(static_cast<double>(statistics->freeBlocks) + slackBlocks,
              static_cast<double>(reference.f_bavail));
}

TEST(FileSystemStatistics, CountsAreInFragmentUnits) {
    // virtiofs and FUSE report a large preferred I/O size beside a small fragment size.
    struct statfs record {};
    record.f_bsize = 1 << 20;
    record.f_frsize = 4096;
    record.f_blocks = 1000;
    record.f_bfree = 250;
    const auto statistics = kx::statisticsFromRecord(record);
    EXPECT_EQ(statistics.blockSize, 4096u);
    EXPECT_EQ(statistics.blocks, 1000u);
    EXPECT_EQ(statistics.freeBlocks, 250u);
    record.f_frsize = 0; // kernels before 2.6
    EXPECT_EQ(kx::statisticsFromRecord(record).blockSize, 1u << 20);
}

TEST(FileSystemStatistics, PathsThatNameNoFileSystem) {
    vztest::TempDir dir;
    EXPECT_FALSE(kx::fileSystemStatistics(dir.file("missing")));
    EXPECT_FALSE(kx::fileSystemStatistics(""));
    // Cut at the NUL, "/" would name the root: the whole path must be asked about, or nothing.
    EXPECT_FALSE(kx::fileSystemStatistics(std::string_view("/\0/missing", 10)));
    EXPECT_TRUE(kx::fileSystemStatistics(dir.path()));
}

} // namespace
