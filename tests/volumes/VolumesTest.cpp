// The volume queries against a made-up system; space and holding against statfs and df.
#include "support/SystemVersion.h"
#include "volumes/Holding.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <VivoziZevidodirid/Volumes.h>
#include <cmath>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <limits>
#include <map>
#include <sstream>
#include <sys/statvfs.h>

namespace {

using Name = std::optional<std::string_view>;
using Roles = std::vector<std::string>;
using vztest::ScopedSystemVersion;

struct FakeContainer {
    std::string reference, designatedStore;
    std::vector<std::string> physicalStores;
    std::vector<std::pair<std::string, Roles>> volumes;
    std::int64_t ceiling = 1, free = 0;
};

// For one scope, this mount table, and a diskutil listing these containers and noting each run.
class FakeVolumes {
public:
    FakeVolumes(std::string_view mounts, const std::vector<FakeContainer>& containers) {
        PlistValue::Array list;
        for (const auto& c : containers) {
            PlistValue::Array stores, volumes;
            for (const auto& store : c.physicalStores)
                stores.push_back(PlistValue::Dictionary{{"DeviceIdentifier", store}});
            for (const auto& [identifier, roles] : c.volumes)
                volumes.push_back(PlistValue::Dictionary{
                    {"DeviceIdentifier", identifier},
                    {"Roles", PlistValue::Array(roles.begin(), roles.end())}});
            list.push_back(PlistValue::Dictionary{{"ContainerReference", c.reference},
                                                  {"DesignatedPhysicalStore", c.designatedStore},
                                                  {"PhysicalStores", std::move(stores)},
                                                  {"Volumes", std::move(volumes)},
                                                  {"CapacityFree", c.free},
                                                  {"CapacityCeiling", c.ceiling}});
        }
        vztest::writeFile(dir_.file("mounts"), mounts);
        vztest::writeFile(dir_.file("listing"),
                          PlistValue(PlistValue::Dictionary{{"Containers", list}}).xml());
        // The tool runs with an empty environment: every program by its full path.
        vztest::writeScript(dir_.file("diskutil"), "echo \"$@\" >> '" + dir_.file("runs") +
                                                       "'\n/bin/cat '" + dir_.file("listing") +
                                                       "'\n");
        paths_.set(&kx::SystemPaths::mountTable, dir_.file("mounts"))
            .set(&kx::SystemPaths::diskutil, dir_.file("diskutil"));
    }
    std::vector<std::string> runs() const {
        return vztest::lines(vztest::readFile(dir_.file("runs")));
    }

private:
    vztest::TempDir dir_;
    vztest::ScopedSystemPaths paths_;
};

// disk1 begins disk10; disk1s lists disk1s7 a second time, with a role. disk20's designated store
// is not its first, which systems before 10.13 do not list.
// clang-format off
const std::vector<FakeContainer> kContainers = {
    {"disk1", "disk0s2", {"disk0s2"}, {{"disk1s1", {"Data"}}, {"disk1s2", {"Preboot"}},
     {"disk1s3", {"Data", "System"}}, {"disk1s5", {"System"}}, {"disk1s7", {}}}, 1000, 250},
    {"disk10", "disk9s2", {"disk9s2"}, {{"disk10s3", {"Recovery"}}, {"disk10s1", {"Data"}}}},
    {"loop", "loop", {"loop"}, {{"loop7", {"System"}}}},
    {"disk1s", "disk0s3", {"disk0s3"}, {{"disk1s7", {"VM"}}}},
    {"disk20", "disk0s9", {"disk5s2", "disk0s9"}, {}},
    {"disk3", "disk0s4", {"disk0s4"}, {}, 8000, 1000},
};

// Each lookup takes the first entry that passes its test: the order matters.
constexpr std::string_view kMounts =
    "/dev/disk1s1 / apfs\n/dev/disk3s1s1 /Volumes/Three apfs\n/dev/disk2s2 /Volumes/Backup hfs\n"
    "//me@nas/disk5s1-share /Volumes/Share smbfs\n/dev/disk5s1 /Volumes/Five hfs\n"
    "/dev/disk4s1 /Volumes/Backup apfs\n/dev/disk7s1 /Volumes/\xff\xfe hfs\n"
    "/dev/disk8s1\xff /Volumes/BadSource hfs\n/dev/disk9s5s1 /Volumes/Sealed apfs\n"
    "//guest@nas/disk6s1share /Volumes/Guest smbfs\n/dev/disk20s1 /Volumes/X hfs\n"
    "/dev/disk21s1 /private/X apfs\n/dev/disk22s1 /bad\xff/Data hfs\n"
    "/dev/disk23s1 /System/Volumes/Data apfs\n";
// clang-format on

TEST(VolumeQueries, FirstMatchInTableOrderWithTheToolRunOnlyWhereNeededAndGatedByVersion) {
    FakeVolumes fake(kMounts, kContainers);
    using Query = std::function<std::string(Name)>;
    const auto text = [](std::optional<std::string> (*find)(Name)) {
        return Query([find](Name n) { return find(n).value_or("-"); });
    };
    const Query from = text(getVolumeMountFromName), on = text(getVolumeMountOnName),
                system = text(getAPFSSystemVolume), data = text(getAPFSDataVolume);
    const Query apfs = [](Name n) { return GetVolumeAPFS(n) ? "apfs" : "-"; };
    const Query container = [](Name n) {
        return std::string(getAPFSContainer(n)["ContainerReference"].stringValue().value_or("-"));
    };
    const Query role = [](Name n) { return std::to_string(getAPFSVolumeRole(n)); };
    const Query used = [](Name n) { return std::to_string(KXFoundationGetAPFSVolUsedSize(n)); };
    const struct {
        const Query& query;
        Name name;
        std::string answer;
        std::size_t runs; // of diskutil
        const char* version = "13.5";
    } cases[] = {
        {from, "/Volumes/Backup", "/dev/disk2s2", 0}, // the first of two mounts there
        {from, "/Volumes/Backup/", "", 0},            // exact: no trailing-slash folding
        {from, "/Volumes/\xff\xfe", "", 0},           // not UTF-8: matches nothing, even itself
        {on, "/dev/disk5s1", "/Volumes/Five", 0},     // though the share contains it, and is first
        {on, "disk9s5", "/Volumes/Sealed", 0},        // none exact: its sealed snapshot
        {on, "disk6s1", "/Volumes/Guest", 0},         // none exact: the share that contains it
        {on, "disk8s1", "", 0},                       // the source that is not UTF-8
        // Exactly there, else the first mount with the same last part decides, from 10.12.
        {apfs, "/private/X", "apfs", 0}, // though HFS+ /Volumes/X has its tail, and is first
        {apfs, "/x/Data", "apfs", 0},    // by its tail; the entry not UTF-8 passed over
        {apfs, "Backup", "-", 0},        // no slash, no tail
        {apfs, "/Volumes/Five", "-", 0}, // exactly there, HFS+
        {apfs, "/", "apfs", 0, "10.12"},
        {apfs, "/", "-", 0, "10.11.6"},
        {container, "/dev/disk1/", "disk1", 1},
        {container, "/dev/rdisk0s2", "disk1", 1}, // only the store's ending is compared
        {container, std::nullopt, "-", 0},
        {container, "disk1", "-", 0, "10.11.6"},
        {container, "disk5s2", "disk20", 1, "10.12"},
        {container, "disk5s2", "-", 1, "10.13"},
        {container, "disk0s9", "disk20", 1, "10.13"},
        {system, "/dev/disk1s2", "disk1s5", 1}, // disk1s3 lists System second
        {system, "rdisk1", "-", 1},             // begins with, not contains
        {data, "disk10s1", "disk10s1", 1},      // not disk1's Data, though disk1 is first
        {system, "disk10s3", "-", 1},           // only its own disk10, which has none
        {system, "loop7", "loop7", 1},          // no container its own: loop begins it
        {role, "disk1s3", std::to_string(APFSVolumeRoleData), 1},
        {role, "disk1s7", std::to_string(APFSVolumeRoleNone), 1},      // its later listing
        {role, "/dev/disk1s1", std::to_string(APFSVolumeRoleNone), 1}, // exact only
        {used, "/Volumes/Three", std::to_string(7000.0), 1},           // disk3, not disk3s1
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name.value_or("(null)")) + " on " + c.version);
        ScopedSystemVersion version(c.version);
        const std::size_t before = fake.runs().size();
        EXPECT_EQ(c.query(c.name), c.answer);
        EXPECT_EQ(fake.runs().size() - before, c.runs);
    }
    EXPECT_EQ(fake.runs().front(), "apfs list -plist");
}

TEST(VolumeSizes, FreeWithTheReserveNoPathZeroAndStatfsWithoutAContainer) {
    struct statvfs reference {};
    ASSERT_EQ(statvfs("/", &reference), 0);
    EXPECT_NEAR(KXFoundationGetVolFreeSize("/"), // others write to / meanwhile
                static_cast<double>(reference.f_frsize) * static_cast<double>(reference.f_bfree),
                512.0 * 1024 * 1024);
    ScopedSystemVersion version("13.5");
    EXPECT_EQ(KXFoundationGetVolUsedSizeString(std::nullopt), "0 bytes");
    // /dev/shm is a real tmpfs whose use hardly moves; the table says what is mounted there.
    ASSERT_GT(KXFoundationGetVolTotalSize("/dev/shm"), 0.0);
    for (const auto& [source, runs] : {std::pair{"tmpfs", 0u}, std::pair{"/dev/disk2s2", 1u}}) {
        SCOPED_TRACE(source);
        FakeVolumes fake(std::string(source) + " /dev/shm apfs rw 0 0\n", kContainers);
        EXPECT_NEAR(KXFoundationGetAPFSVolUsedSize("/dev/shm"),
                    KXFoundationGetVolUsedSize("/dev/shm"), 1 << 20);
        EXPECT_EQ(fake.runs().size(), runs);
    }
}

TEST(SizeText, StepsOf1000From10_6And1024BeforeAndMebibytesRoundedDown) {
    const std::optional<double> counts[] = {std::nullopt, 1001, 1536, 5000000000, INFINITY, NAN};
    const std::vector<std::string> decimal = {"0 bytes", "1 KB",   "1.54 KB",
                                              "5 GB",    "inf YB", "nan bytes"},
                                   binary = {"0 bytes", "1001 bytes", "1.50 KB",
                                             "4.66 GB", "inf YB",     "nan bytes"};
    // No product name is taken for macOS; another system's version says nothing of macOS.
    const std::tuple<const char*, const char*, bool> systems[] = {{"Mac OS X", "10.6", true},
                                                                  {"Mac OS X", "10.5.8", false},
                                                                  {"", "10.5.8", false},
                                                                  {"Debian GNU/Linux", "9", true}};
    for (const auto& [product, version, steps1000] : systems) {
        ScopedSystemVersion scope(version, product);
        std::vector<std::string> texts;
        for (const auto bytes : counts)
            texts.push_back(KXFoundationConvertBytesToStringValue(bytes));
        EXPECT_EQ(texts, steps1000 ? decimal : binary) << product << " " << version;
    }
    double bytes = -1048577; // the floor goes towards negative infinity
    EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(&bytes), "-2M");
    EXPECT_EQ(bytes, -2097152);
    EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(nullptr), "0M");
}

TEST(VolumeSpace, BytesFromBlocksOrNoneWhenTheyCannotBeTrue) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    using V = kx::VolumeSpace;
    // Statistics as unit, blocks, free and available blocks.
    const std::pair<kx::FileSystemStatistics, std::optional<V>> cases[] = {
        {{4096, 100, 40, 30}, V{409600, 163840, 122880, 245760}},
        {{1, kMax, kMax, 0}, V{kMax, kMax, 0, 0}},
        // A hostile or broken file system: sizes beyond 64 bits, more free than there is.
        {{4096, kMax / 4096 + 1, 0, 0}, std::nullopt},
        {{4096, 10, kMax, 0}, std::nullopt},
        {{4096, 10, 0, kMax / 2}, std::nullopt},
        {{4096, 10, 11, 0}, std::nullopt},
        {{4096, 10, 5, 11}, std::nullopt},
    };
    for (const auto& [statistics, expected] : cases)
        EXPECT_EQ(vz::spaceFromStatistics(statistics), expected)
            << statistics.blockSize << " " << statistics.blocks;
}

TEST(VolumeHolding, LongestMountPointOfThePathsDeviceAndItsLastEntry) {
    const auto entry = [](std::string source, std::string point) {
        return kx::MountedFileSystem{std::move(source), std::move(point), "ext4", "rw"};
    };
    const auto r = entry("r", "/"), h = entry("h", "/home");
    const std::map<std::string, dev_t> devices = {
        {"/", 1}, {"/home", 2}, {"/srv", 1}, {"/mnt", 4}, {"/mnt/x", 5}};
    // Entries, path, its device, the entry holding it.
    const std::tuple<std::vector<kx::MountedFileSystem>, std::string, dev_t,
                     std::optional<std::size_t>>
        cases[] = {
            {{r, h}, "/home/me/f", 2, 1},
            {{r, h}, "/homework", 1, 0},
            {{r, h}, "/home", 2, 1},
            // A later mount on the same point hides the earlier one.
            {{r, h, entry("new", "/home")}, "/home/f", 2, 2},
            // A bind mount of the root's own file system: the longest point of that device.
            {{r, h, entry("bind", "/srv")}, "/srv/f", 1, 2},
            // The device decides, not the order: / mounted after /proc hides nothing, a point
            // mounted over later (/mnt/x under /mnt) does.
            {{entry("p", "/proc"), r}, "/proc/self", 6, 0},
            {{r, entry("x", "/mnt/x"), entry("m", "/mnt")}, "/mnt/x/f", 4, 2},
            {{r, entry("m", "/mnt"), entry("x", "/mnt/x")}, "/mnt/x/f", 5, 2},
            // A device no point has (a btrfs subvolume): the longest point on the way up.
            {{r, h}, "/home/sub/f", 9, 1},
            {{h}, "/etc/f", 1, std::nullopt},
        };
    for (const auto& [entries, path, device, expected] : cases) {
        std::vector<std::string> asked;
        const auto deviceOf = [&](const std::string& point) -> std::optional<dev_t> {
            asked.push_back(point);
            const auto at = devices.find(point);
            return at == devices.end() ? std::nullopt : std::optional<dev_t>(at->second);
        };
        EXPECT_EQ(vz::holdingEntry(entries, path, device, deviceOf), expected) << path;
        // Only mount points on the path's way up are ever asked (a dead mount elsewhere never).
        for (const std::string& point : asked)
            EXPECT_TRUE(vz::isMountPointOf(point, path)) << point << " for " << path;
    }
}

// The holding entry and space df shows for path, in bytes; none when df fails.
std::vector<std::string> dfFields(const std::string& path) {
    FILE* pipe = popen(
        ("LC_ALL=C df -B1 --output=source,target,fstype,size,used,avail '" + path + "'").c_str(),
        "r");
    char header[4096], row[4096];
    const bool read = pipe && fgets(header, sizeof header, pipe) && fgets(row, sizeof row, pipe);
    const bool ended = pipe && pclose(pipe) == 0;
    std::istringstream fields(read && ended ? row : "");
    return {std::istream_iterator<std::string>(fields), {}};
}

TEST(VolumeSpaceAndHolding, AgreeWithDf) {
    vztest::TempDir folder;
    vztest::writeFile(folder.file("file"), "x");
    for (const std::string& path :
         {std::string("/"), folder.file("file"), std::string("/proc/self/status"),
          std::string("/dev/null"), std::string("/sys/kernel")}) {
        SCOPED_TRACE(path);
        const auto holding = kx::volumeHolding(path);
        ASSERT_TRUE(holding);
        // Others write meanwhile, and may undo it while df runs: a reading counts only when ours
        // did not change across df's, and a difference only when it shows at every attempt.
        const auto ours = [&](const kx::VolumeSpace& space) {
            return std::vector{holding->source,
                               holding->mountPoint,
                               holding->type,
                               std::to_string(space.totalBytes),
                               std::to_string(space.usedBytes),
                               std::to_string(space.availableBytes)};
        };
        std::vector<std::string> df;
        std::optional<kx::VolumeSpace> before, after;
        for (int attempt = 0; attempt < 50 && (!before || before != after || df != ours(*after));
             ++attempt) {
            before = kx::volumeSpace(path);
            df = dfFields(path);
            after = kx::volumeSpace(path);
        }
        ASSERT_TRUE(before && before == after);
        EXPECT_EQ(df, ours(*after));
    }
    for (const std::string& path :
         {std::string(), std::string("/no/such/path"), std::string("/\0x", 3)}) {
        EXPECT_FALSE(kx::volumeSpace(path)) << path;
        EXPECT_FALSE(kx::volumeHolding(path)) << path;
    }
}

} // namespace
