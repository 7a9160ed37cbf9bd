#include "platform/linux/Statfs.h"

#include <gtest/gtest.h>

namespace {

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

} // namespace
