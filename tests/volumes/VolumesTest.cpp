#include "support/SystemVersion.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Version.h>
#include <VivoziZevidodirid/Volumes.h>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <sys/statvfs.h>
#include <thread>

namespace {

using Name = std::optional<std::string_view>;
using Roles = std::vector<std::string>;
using vztest::ScopedSystemVersion;

class ScopedMountTable {
public:
    explicit ScopedMountTable(std::string_view content) {
        vztest::writeFile(dir_.file("mounts"), content);
        paths_.edit().mountTable = dir_.file("mounts");
        paths_.apply();
    }

private:
    vztest::TempDir dir_;
    vztest::ScopedSystemPaths paths_;
};

struct FakeContainer {
    std::string reference;
    std::string designatedStore;
    std::vector<std::string> physicalStores;
    std::vector<std::pair<std::string, Roles>> volumes;
    std::int64_t ceiling;
    std::int64_t free;
};

// A disk tool that prints an "apfs list -plist" listing and counts its runs.
class ScopedFakeDiskTool {
public:
    explicit ScopedFakeDiskTool(const std::vector<FakeContainer>& containers) {
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
        vztest::writeFile(
            dir_.file("output"),
            PlistValue(PlistValue::Dictionary{{"Containers", std::move(list)}}).xml());
        // The tool runs with an empty environment: every program by its full path.
        vztest::writeScript(dir_.file("diskutil"), "echo \"$@\" >> '" + dir_.file("runs") +
                                                       "'\n/bin/cat '" + dir_.file("output") +
                                                       "'\n");
        paths_.edit().diskutil = dir_.file("diskutil");
        paths_.apply();
    }
    std::vector<std::string> runs() const {
        return vztest::lines(vztest::readFile(dir_.file("runs")));
    }

private:
    vztest::TempDir dir_;
    vztest::ScopedSystemPaths paths_;
};

TEST(MountLookups, FirstMatchInTableOrder) {
    ScopedMountTable table("/dev/disk1s10 /System/Volumes/Update apfs rw 0 0\n"
                           "/dev/disk1s1 / apfs rw 0 0\n"
                           "//me@nas/disk5s1-share /Volumes/Share smbfs rw 0 0\n"
                           "/dev/disk5s1 /Volumes/Five hfs rw 0 0\n"
                           "/dev/disk2s2 /Volumes/Backup hfs rw 0 0\n"
                           "/dev/disk3s1 /Volumes/My\\040Disk apfs rw 0 0\n"
                           "/dev/disk4s1 /Volumes/Backup apfs rw 0 0\n"
                           "/dev/disk7s1 /Volumes/\xff\xfe hfs rw 0 0\n"
                           "/dev/disk8s1\xff /Volumes/BadSource hfs rw 0 0\n"
                           "/dev/disk9s5s1 /Volumes/Sealed apfs ro 0 0\n"
                           "//guest@nas/disk6s1share /Volumes/Guest smbfs rw 0 0\n");
    constexpr auto fromName = getVolumeMountFromName; // mount point -> device: exact
    // device -> mount point: the exact source, else the first that begins with or contains it
    constexpr auto onName = getVolumeMountOnName;
    const struct {
        std::optional<std::string> (*lookup)(Name);
        Name name;
        std::optional<std::string> answer;
    } cases[] = {
        {fromName, "/Volumes/Backup", "/dev/disk2s2"}, // the first of two mounts there
        {fromName, "/Volumes/Backup/", ""},            // exact: no trailing-slash folding
        {fromName, "/Volumes/My Disk", "/dev/disk3s1"},
        {fromName, "/Volumes/\xff\xfe", ""},       // not UTF-8: matches nothing, even itself
        {onName, "disk1s1", "/"},                  // though /dev/disk1s10 is listed first
        {onName, "/dev/disk5s1", "/Volumes/Five"}, // though the share contains it, and is first
        {onName, "disk9s5", "/Volumes/Sealed"},    // none exact: its sealed snapshot
        {onName, "disk6s1", "/Volumes/Guest"},     // none exact: the share that contains it
        {onName, "disk8s1", ""},                   // the source that is not UTF-8
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.lookup(c.name), c.answer) << c.name.value_or("(null)");
}

TEST(GetVolumeAPFS, MountExactlyThereElseFirstWithTheSameTailDecidesFrom10_12) {
    ScopedMountTable table("/dev/disk1s1 / apfs rw 0 0\n"
                           "/dev/disk2s2 /Volumes/X hfs rw 0 0\n"
                           "/dev/disk3s1 /private/X apfs rw 0 0\n"
                           "/dev/disk4s1 /Volumes/Backup apfs rw 0 0\n"
                           "/dev/disk7s1 /bad\xff/Data hfs rw 0 0\n"
                           "/dev/disk1s2 /System/Volumes/Data apfs rw 0 0\n"
                           "/dev/disk8s1 /Volumes/Data exfat rw 0 0\n");
    const struct {
        Name path;
        const char* version;
        bool apfs;
    } cases[] = {
        {"/Users/me/Backup", "13.5", true}, // decided by /Volumes/Backup, although elsewhere
        {"/private/X", "13.5", true},       // though HFS+ /Volumes/X has its tail, and is first
        {"/Volumes/Data", "13.5", false}, // though /System/Volumes/Data has its tail, and is first
        {"/x/Data", "13.5", true},        // the entry that is not UTF-8 is passed over
        {"Backup", "13.5", false},        // no slash, no tail
        {"/", "10.12", true},
        {"/", "10.11.6", false},
    };
    for (const auto& c : cases) {
        ScopedSystemVersion version(c.version);
        EXPECT_EQ(GetVolumeAPFS(c.path), c.apfs) << *c.path << " on " << c.version;
    }
}

TEST(ApfsQueries, ContainersRolesAndGates) {
    // disk1 begins disk10; disk1s lists disk1s7 a second time, with a role. disk20's designated
    // store is not its first, which systems before 10.13 do not list.
    // clang-format off
    ScopedFakeDiskTool tool({
        {"disk1", "disk0s2", {"disk0s2"}, {{"disk1s1", Roles{"Data"}},
         {"disk1s2", Roles{"Preboot"}}, {"disk1s3", Roles{"Data", "System"}},
         {"disk1s5", Roles{"System"}}, {"disk1s7", Roles{}}}, 1000, 250},
        {"disk10", "disk9s2", {"disk9s2"},
         {{"disk10s3", Roles{"Recovery"}}, {"disk10s1", Roles{"Data"}}}, 500, 100},
        {"loop", "loop", {"loop"}, {{"loop7", Roles{"System"}}}, 1, 0},
        {"disk1s", "disk0s3", {"disk0s3"}, {{"disk1s7", Roles{"VM"}}}, 1, 0},
        {"disk20", "disk0s9", {"disk5s2", "disk0s9"}, {}, 1, 0},
    });
    // clang-format on
    using Query = std::function<std::string(Name)>;
    const Query container = [](Name n) {
        return std::string(getAPFSContainer(n)["ContainerReference"].stringValue().value_or("-"));
    };
    const auto finder = [](std::optional<std::string> (*find)(Name)) {
        return Query([find](Name n) { return find(n).value_or("-"); });
    };
    const Query system = finder(getAPFSSystemVolume), recovery = finder(getAPFSRecoveryVolume),
                data = finder(getAPFSDataVolume);
    const Query role = [](Name n) { return std::to_string(getAPFSVolumeRole(n)); };
    const struct {
        const Query& query;
        Name name;
        const char* version;
        std::string answer;
        std::size_t runs;
    } cases[] = {
        {container, "/dev/disk1/", "13.5", "disk1", 1},
        {container, "/dev/rdisk0s2", "13.5", "disk1", 1}, // only the store's ending is compared
        {container, std::nullopt, "13.5", "-", 0},
        {container, "disk1", "10.11.6", "-", 0},
        {container, "disk5s2", "10.12", "disk20", 1},
        {container, "disk0s9", "10.12.6", "-", 1},
        {container, "disk5s2", "10.13", "-", 1},
        {container, "disk0s9", "10.13", "disk20", 1},
        {system, "/dev/disk1s2", "13.5", "disk1s5", 1}, // disk1s3 lists System second
        {system, "rdisk1", "13.5", "-", 1},             // begins with, not contains
        {recovery, "disk10s3", "13.5", "disk10s3", 1},  // disk1 begins it too, but is not its own
        {data, "disk10s1", "13.5", "disk10s1", 1},      // not disk1's Data, though disk1 is first
        {system, "disk10s3", "13.5", "-", 1},           // only its own disk10, which has none
        {system, "loop7", "13.5", "loop7", 1},          // no container its own: loop begins it
        {role, "disk1s3", "13.5", std::to_string(APFSVolumeRoleData), 1},
        {role, "disk1s7", "13.5", std::to_string(APFSVolumeRoleNone), 1},      // its later listing
        {role, "/dev/disk1s1", "13.5", std::to_string(APFSVolumeRoleNone), 1}, // exact only
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name.value_or("(null)")) + " on " + c.version);
        ScopedSystemVersion version(c.version);
        const std::size_t before = tool.runs().size();
        EXPECT_EQ(c.query(c.name), c.answer);
        EXPECT_EQ(tool.runs().size() - before, c.runs);
    }
    EXPECT_EQ(tool.runs().front(), "apfs list -plist");
}

TEST(VolumeSizes, RootInFragmentSizeUnitsAndNoPathZero) {
    constexpr double kDriftBytes = 512.0 * 1024 * 1024; // others write to / meanwhile
    struct statvfs reference {};
    ASSERT_EQ(statvfs("/", &reference), 0);
    const double unit = static_cast<double>(reference.f_frsize);
    EXPECT_EQ(KXFoundationGetVolTotalSize("/"), unit * static_cast<double>(reference.f_blocks));
    EXPECT_NEAR(KXFoundationGetVolFreeSize("/"), unit * static_cast<double>(reference.f_bfree),
                kDriftBytes);
    ScopedSystemVersion version("13.5"); // an empty path or one holding a NUL is zero
    for (const Name path : {Name(""), Name(std::string_view("/\0/missing", 10)), Name()}) {
        EXPECT_EQ(KXFoundationGetVolTotalSize(path), 0.0) << path.value_or("(null)");
        EXPECT_EQ(KXFoundationGetVolUsedSizeString(path), "0 bytes") << path.value_or("(null)");
    }
}

TEST(ApfsUsedSize, ContainerFromTheDeviceElseStatfs) {
    const std::vector<FakeContainer> containers = {
        {"disk1", "disk0s2", {"disk0s2"}, {}, 1000000, 250000},
        {"disk3", "disk0s3", {"disk0s3"}, {}, 8000, 1000},
    };
    {
        ScopedMountTable table("/dev/disk1s5s1 / apfs rw 0 0\n"
                               "/dev/disk3s1s1 /Volumes/Three apfs rw 0 0\n");
        ScopedFakeDiskTool tool(containers);
        ScopedSystemVersion version("13.5");
        EXPECT_EQ(KXFoundationGetAPFSVolUsedSize("/"), 750000.0);
        EXPECT_EQ(KXFoundationGetAPFSVolUsedSize("/Volumes/Three"), 7000.0); // not disk3s1
    }
    // /dev/shm is a real tmpfs whose use hardly moves; the table says what is mounted there.
    const std::string shm = "/dev/shm";
    ASSERT_GT(KXFoundationGetVolTotalSize(shm), 0.0);
    for (const auto& [source, runs] : {std::pair{"tmpfs", 0u}, std::pair{"/dev/disk2s2", 1u}}) {
        SCOPED_TRACE(source);
        ScopedMountTable table(std::string(source) + " " + shm + " apfs rw 0 0\n");
        ScopedFakeDiskTool tool(containers);
        ScopedSystemVersion version("13.5");
        EXPECT_NEAR(KXFoundationGetAPFSVolUsedSize(shm), KXFoundationGetVolUsedSize(shm), 1 << 20);
        EXPECT_EQ(tool.runs().size(), runs);
    }
}

TEST(SizeText, StepsOf1000From10_6And1024Before) {
    const struct {
        std::optional<double> bytes;
        const char* decimal;
        const char* binary;
    } cases[] = {
        {std::nullopt, "0 bytes", "0 bytes"},
        {1001, "1 KB", "1001 bytes"},
        {1536, "1.54 KB", "1.50 KB"},
        {5000000000, "5 GB", "4.66 GB"},
        {std::numeric_limits<double>::infinity(), "inf YB", "inf YB"},
        {std::numeric_limits<double>::quiet_NaN(), "nan bytes", "nan bytes"},
    };
    const struct {
        const char* product;
        const char* version;
        bool decimal;
    } systems[] = {
        {"Mac OS X", "10.6", true},
        {"Mac OS X", "10.5.8", false},
        {"", "10.5.8", false},           // no name: taken for macOS
        {"Debian GNU/Linux", "9", true}, // a version of another system says nothing of macOS
    };
    for (const auto& system : systems) {
        ScopedSystemVersion version(system.version, system.product);
        for (const auto& c : cases)
            EXPECT_EQ(KXFoundationConvertBytesToStringValue(c.bytes),
                      system.decimal ? c.decimal : c.binary)
                << c.bytes.value_or(0) << " on " << system.product << " " << system.version;
    }
}

TEST(MebibyteText, RoundsDownAndRewritesTheCount) {
    double bytes = -1048577; // the floor goes towards negative infinity
    EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(&bytes), "-2M");
    EXPECT_EQ(bytes, -2097152);
    EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(nullptr), "0M");
}

TEST(ConcurrentQueries, EachCallerGetsItsOwnAnswers) {
    // Each thread looks up its own entry; a shared snapshot would hand one thread another's.
    ScopedMountTable table(
        "/dev/disk1s1 /Volumes/V1 apfs rw 0 0\n/dev/disk2s1 /Volumes/V2 apfs rw 0 0\n"
        "/dev/disk3s1 /Volumes/V3 apfs rw 0 0\n/dev/disk4s1 /Volumes/V4 apfs rw 0 0\n");
    ScopedFakeDiskTool tool(
        {{"disk1", "disk0s2", {"disk0s2"}, {{"disk1s1", Roles{"Data"}}}, 3, 1}});
    ScopedSystemVersion version("13.5");
    KXCompareCurrentSystemVersionWith("10.6"); // one sw_vers run before the threads start
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 1; t <= 4; ++t)
        threads.emplace_back([&, t] {
            const std::string device = "/dev/disk" + std::to_string(t) + "s1",
                              mountPoint = "/Volumes/V" + std::to_string(t);
            for (int round = 0; round < 40; ++round) {
                wrong += getVolumeMountFromName(mountPoint) != device;
                wrong += getVolumeMountOnName(device) != mountPoint;
                wrong += KXFoundationConvertBytesToStringValue(1000.0 * t) !=
                         (t == 1 ? "1000 bytes" : std::to_string(t) + " KB");
            }
            wrong += getAPFSDataVolume("disk1") != std::optional<std::string>("disk1s1");
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
