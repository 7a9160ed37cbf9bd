// Space and the file system holding a path, against statfs and df on this machine, and the
// choice among mount entries against made-up tables.
#include "volumes/Holding.h"

#include "support/TestSupport.h"

#include <VivoziZevidodirid/Mounts.h>
#include <cstdio>
#include <gtest/gtest.h>
#include <limits>
#include <map>
#include <sstream>
#include <sys/statvfs.h>

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

// Standard output of a shell command line; "" when it fails.
std::string commandOutput(const std::string& line) {
    std::string out;
    if (FILE* pipe = popen(("LC_ALL=C " + line).c_str(), "r")) {
        char buffer[4096];
        for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            out.append(buffer, got);
        if (pclose(pipe) != 0)
            return "";
    }
    return out;
}

// df's last line for path, split into its fields.
std::vector<std::string> dfFields(const std::string& path, const std::string& columns) {
    const auto rows =
        vztest::lines(commandOutput("df -B1 --output=" + columns + " '" + path + "'"));
    std::vector<std::string> fields;
    if (rows.size() == 2) {
        std::istringstream row(rows[1]);
        for (std::string field; row >> field;)
            fields.push_back(field);
    }
    return fields;
}

TEST(VolumeSpace, BytesFromBlocksOrNoneWhenTheyCannotBeTrue) {
    using S = kx::FileSystemStatistics;
    using V = kx::VolumeSpace;
    const struct {
        S statistics; // unit, blocks, free, available
        std::optional<V> expected;
    } cases[] = {
        {{4096, 100, 40, 30}, V{409600, 163840, 122880, 245760}},
        {{0, 100, 40, 30}, V{}},
        {{4096, 0, 0, 0}, V{}},
        {{1, kMax, kMax, 0}, V{kMax, kMax, 0, 0}},
        {{2, kMax / 2, 1, 1}, V{kMax - 1, 2, 2, kMax - 3}},
        // A hostile or broken file system: sizes beyond 64 bits, more free than there is.
        {{4096, kMax / 4096 + 1, 0, 0}, std::nullopt},
        {{4096, 10, kMax, 0}, std::nullopt},
        {{4096, 10, 0, kMax / 2}, std::nullopt},
        {{4096, 10, 11, 0}, std::nullopt},
        {{4096, 10, 5, 11}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vz::spaceFromStatistics(c.statistics), c.expected)
            << c.statistics.blockSize << " " << c.statistics.blocks;
}

TEST(VolumeSpace, AgreesWithStatfsAndDf) {
    vztest::TempDir folder;
    vztest::writeFile(folder.file("file"), "x");
    for (const std::string& path :
         std::vector<std::string>{"/", folder.path(), folder.file("file"), "/proc"}) {
        const auto space = kx::volumeSpace(path);
        ASSERT_TRUE(space) << path;
        struct statvfs record {};
        ASSERT_EQ(statvfs(path.c_str(), &record), 0);
        EXPECT_EQ(space->totalBytes, std::uint64_t{record.f_blocks} * record.f_frsize) << path;
        EXPECT_EQ(space->availableBytes, std::uint64_t{record.f_bavail} * record.f_frsize);
        EXPECT_EQ(space->usedBytes, space->totalBytes - space->freeBytes);
        // df counts in bytes exactly with -B1. Other processes write meanwhile: a reading
        // counts only when ours did not change across df's.
        std::vector<std::string> df;
        std::optional<kx::VolumeSpace> before, after;
        for (int attempt = 0; attempt < 50 && (!before || before != after); ++attempt) {
            before = kx::volumeSpace(path);
            df = dfFields(path, "size,used,avail");
            after = kx::volumeSpace(path);
        }
        ASSERT_TRUE(before && before == after && df.size() == 3u) << path;
        EXPECT_EQ(df, (std::vector<std::string>{std::to_string(after->totalBytes),
                                                std::to_string(after->usedBytes),
                                                std::to_string(after->availableBytes)}))
            << path;
    }
    for (const std::string& path :
         std::vector<std::string>{"", "/no/such/path", std::string("/\0x", 3)})
        EXPECT_FALSE(kx::volumeSpace(path)) << path;
}

TEST(VolumeHolding, LongestMountPointOfThePathsDeviceAndItsLastEntry) {
    using Entries = std::vector<kx::MountedFileSystem>;
    const auto entry = [](std::string source, std::string point) {
        return kx::MountedFileSystem{std::move(source), std::move(point), "ext4", "rw"};
    };
    const std::map<std::string, dev_t> devices = {{"/", 1},    {"/home", 2}, {"/home/a b", 3},
                                                  {"/srv", 1}, {"/mnt", 4},  {"/mnt/x", 5}};
    const struct {
        Entries entries;
        std::string path;
        dev_t device;
        std::optional<std::size_t> expected;
    } cases[] = {
        {{entry("r", "/"), entry("h", "/home")}, "/home/me/f", 2, 1},
        {{entry("r", "/"), entry("h", "/home")}, "/homework", 1, 0},
        {{entry("r", "/"), entry("h", "/home")}, "/home", 2, 1},
        {{entry("r", "/"), entry("h", "/home"), entry("s", "/home/a b")}, "/home/a b/c", 3, 2},
        // A later mount on the same point hides the earlier one.
        {{entry("r", "/"), entry("old", "/home"), entry("new", "/home")}, "/home/f", 2, 2},
        // A bind mount of the root's own file system: the longest point of that device.
        {{entry("r", "/"), entry("h", "/home"), entry("bind", "/srv")}, "/srv/f", 1, 2},
        // The device decides, not the order: / mounted after /proc hides nothing, a point
        // mounted over later (/mnt/x under /mnt) does.
        {{entry("p", "/proc"), entry("r", "/")}, "/proc/self", 6, 0},
        {{entry("r", "/"), entry("x", "/mnt/x"), entry("m", "/mnt")}, "/mnt/x/f", 4, 2},
        {{entry("r", "/"), entry("m", "/mnt"), entry("x", "/mnt/x")}, "/mnt/x/f", 5, 2},
        // A device no point has (a btrfs subvolume): the longest point on the way up.
        {{entry("r", "/"), entry("h", "/home")}, "/home/sub/f", 9, 1},
        {{entry("h", "/home")}, "/etc/f", 1, std::nullopt},
        {{}, "/f", 1, std::nullopt},
    };
    for (const auto& c : cases) {
        std::vector<std::string> asked;
        const auto deviceOf = [&](const std::string& point) -> std::optional<dev_t> {
            asked.push_back(point);
            const auto at = devices.find(point);
            return at == devices.end() ? std::nullopt : std::optional<dev_t>(at->second);
        };
        EXPECT_EQ(vz::holdingEntry(c.entries, c.path, c.device, deviceOf), c.expected) << c.path;
        // Only mount points on the path's way up are ever asked (a dead mount elsewhere never).
        for (const std::string& point : asked)
            EXPECT_TRUE(vz::isMountPointOf(point, c.path)) << point << " for " << c.path;
    }
}

TEST(VolumeHolding, AgreesWithDf) {
    vztest::TempDir folder;
    vztest::writeFile(folder.file("file"), "x");
    for (const std::string& path :
         std::vector<std::string>{"/", folder.path(), folder.file("file"), "/proc/self/status",
                                  "/dev/null", "/sys/kernel"}) {
        const auto holding = kx::volumeHolding(path);
        const auto df = dfFields(path, "source,target,fstype");
        ASSERT_TRUE(holding) << path;
        ASSERT_EQ(df.size(), 3u) << path;
        EXPECT_EQ(holding->source, df[0]) << path;
        EXPECT_EQ(holding->mountPoint, df[1]) << path;
        EXPECT_EQ(holding->type, df[2]) << path;
    }
    for (const std::string& path :
         std::vector<std::string>{"", "/no/such/path", std::string("/\0x", 3)})
        EXPECT_FALSE(kx::volumeHolding(path)) << path;
}

} // namespace
