#include "VolumesFixtures.h"
#include "support/SystemVersion.h"

#include <VivoziZevidodirid/Version.h>
#include <VivoziZevidodirid/Volumes.h>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

using Roles = std::vector<std::string>;

TEST(ConcurrentQueries, EachCallerGetsItsOwnAnswers) {
    // Each thread looks up its own entry; a shared snapshot would hand one thread another's.
    constexpr int kThreads = 4;
    std::string content;
    for (int t = 0; t < kThreads; ++t)
        content += "/dev/disk" + std::to_string(t + 1) + "s1 /Volumes/V" + std::to_string(t) +
                   " apfs rw 0 0\n";
    vztest::ScopedMountTable table(content);
    vztest::ScopedFakeDiskTool tool(vztest::apfsListingXml(
        {{"disk1", "disk0s2", {"disk0s2"}, {{"disk1s1", Roles{"Data"}}}, 300, 100}}));
    vztest::ScopedSystemVersion version("13.5");
    KXCompareCurrentSystemVersionWith("10.6"); // one sw_vers run before the threads start

    const char* const kTexts[kThreads] = {"1.54 KB", "3.07 KB", "4.61 KB", "6.14 KB"};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string device = "/dev/disk" + std::to_string(t + 1) + "s1";
            const std::string mountPoint = "/Volumes/V" + std::to_string(t);
            for (int round = 0; round < 40; ++round) {
                wrong += getVolumeMountFromName(mountPoint) != device;
                wrong += getVolumeMountOnName(device) != mountPoint;
                wrong += !GetVolumeAPFS("/x/V" + std::to_string(t));
                wrong += KXFoundationConvertBytesToStringValue(1536.0 * (t + 1)) != kTexts[t];
            }
            wrong += getAPFSDataVolume("disk1") != std::optional<std::string>("disk1s1");
            wrong += getAPFSContainer("disk1")["CapacityFree"].doubleValue() != 100.0;
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
