#include "VolumesFixtures.h"
#include "support/SystemVersion.h"

#include <VivoziZevidodirid/Volumes.h>
#include <gtest/gtest.h>

namespace {

using vztest::FakeContainer;
using vztest::ScopedFakeDiskTool;
using vztest::ScopedSystemVersion;

using Roles = std::vector<std::string>;

// Two containers as a Mac lists them, plus disk10, whose name disk1 begins.
std::vector<FakeContainer> macLayout() {
    return {
        {"disk1",
         "disk0s2",
         {"disk0s2"},
         {{"disk1s1", Roles{"Data"}},
          {"disk1s2", Roles{"Preboot"}},
          {"disk1s3", Roles{"Recovery"}},
          {"disk1s4", Roles{"VM"}},
          {"disk1s5", Roles{"System"}},
          {"disk1s6", Roles{"Data", "System"}},
          {"disk1s7", Roles{}},
          {"disk1s8", std::nullopt},
          {"disk1s9", Roles{"Backup"}},
          {"disk1s10", Roles{"Update"}}},
         1000000,
         250000},
        {"disk10",
         "disk9s2",
         {"disk9s2"},
         {{"disk10s1", Roles{"System"}}, {"disk10s2", Roles{"Data"}}},
         500,
         100},
    };
}

TEST(GetAPFSContainer, ByReferenceOrByPhysicalStoreEnding) {
    ScopedFakeDiskTool tool(vztest::apfsListingXml(macLayout()));
    ScopedSystemVersion version("13.5");
    struct Case {
        std::optional<std::string_view> name;
        const char* reference; // nullptr: no container
    } cases[] = {
        {"disk1", "disk1"},         {"/dev/disk1", "disk1"},
        {"/dev/disk1/", "disk1"}, // a trailing slash does not count
        {"disk0s2", "disk1"},       {"/dev/disk0s2", "disk1"},
        {"/dev/rdisk0s2", "disk1"}, // only the end of the name is compared with the store
        {"disk10", "disk10"},       {"disk9s2", "disk10"},
        {"disk1s1", nullptr}, // a volume name is neither
        {"disk2", nullptr},         {"", nullptr},
        {std::nullopt, nullptr},
    };
    for (const auto& c : cases) {
        const PlistValue container = getAPFSContainer(c.name);
        SCOPED_TRACE(c.name ? *c.name : "(null)");
        if (!c.reference) {
            EXPECT_TRUE(container.isAbsent());
            continue;
        }
        EXPECT_TRUE(container["ContainerReference"].isEqualToString(c.reference));
    }
    // The answer is the whole container dictionary.
    const PlistValue disk1 = getAPFSContainer("disk1");
    EXPECT_EQ(disk1["CapacityCeiling"].doubleValue(), 1000000.0);
    EXPECT_EQ(disk1["CapacityFree"].doubleValue(), 250000.0);
    EXPECT_EQ(disk1["Volumes"].count(), 10u);
}

TEST(GetAPFSContainer, BeforeHighSierraThePhysicalStoresListDecides) {
    // The designated store says one thing, the stores list another: the version picks.
    std::vector<FakeContainer> layout = {{"disk1", "disk0s2", {"disk5s2", "disk0s2"}, {}, 1, 0}};
    ScopedFakeDiskTool tool(vztest::apfsListingXml(layout));
    {
        ScopedSystemVersion version("10.12.6");
        EXPECT_FALSE(getAPFSContainer("disk5s2").isAbsent());
        EXPECT_TRUE(getAPFSContainer("disk0s2").isAbsent()); // only the first store counts
    }
    ScopedSystemVersion version("10.13");
    EXPECT_TRUE(getAPFSContainer("disk5s2").isAbsent());
    EXPECT_FALSE(getAPFSContainer("disk0s2").isAbsent());
}

TEST(GetAPFSContainer, BeforeSierraTheToolIsNotRun) {
    ScopedFakeDiskTool tool(vztest::apfsListingXml(macLayout()));
    {
        ScopedSystemVersion version("10.11");
        EXPECT_TRUE(getAPFSContainer("disk1").isAbsent());
        EXPECT_TRUE(tool.runs().empty());
    }
    ScopedSystemVersion version("10.12");
    EXPECT_FALSE(getAPFSContainer("disk1").isAbsent());
    EXPECT_EQ(tool.runs(), std::vector<std::string>{"apfs list -plist"});
}

TEST(RoleVolumeFinders, FirstRoleOnlyInContainersTheNameBegins) {
    ScopedFakeDiskTool tool(vztest::apfsListingXml(macLayout()));
    using Finder = std::optional<std::string> (*)(std::optional<std::string_view>);
    struct Case {
        Finder finder;
        std::optional<std::string_view> name;
        std::optional<std::string> volume;
        const char* what;
    } cases[] = {
        {getAPFSSystemVolume, "disk1", "disk1s5", "container"},
        {getAPFSSystemVolume, "disk1s1", "disk1s5", "a volume of it"},
        {getAPFSSystemVolume, "/dev/disk1s2", "disk1s5", "with /dev/"},
        // "Data" then "System": only the first role counts, and disk1s1 comes first anyway.
        {getAPFSDataVolume, "disk1", "disk1s1", "first of two with the role"},
        {getAPFSPrebootVolume, "disk1", "disk1s2", "preboot"},
        {getAPFSRecoveryVolume, "disk1", "disk1s3", "recovery"},
        // disk1 begins disk10s1 and is listed first, and it has a System volume.
        {getAPFSSystemVolume, "disk10s1", "disk1s5", "disk1 before disk10"},
        {getAPFSSystemVolume, "disk0s2", std::nullopt, "a physical store begins no reference"},
        {getAPFSSystemVolume, "disk2", std::nullopt, "no such container"},
        {getAPFSSystemVolume, "", std::nullopt, "empty"},
        {getAPFSSystemVolume, std::nullopt, std::nullopt, "null"},
        {getAPFSSystemVolume, "rdisk1", std::nullopt, "begins-with, not contains"},
    };
    ScopedSystemVersion version("13.5");
    for (const auto& c : cases)
        EXPECT_EQ(c.finder(c.name), c.volume) << c.what;
}

TEST(RoleVolumeFinders, SearchGoesOnThroughLaterContainers) {
    // disk1 begins disk10s1 but has no Data volume; disk10 has one.
    std::vector<FakeContainer> layout = {
        {"disk1", "disk0s2", {}, {{"disk1s1", Roles{"System"}}}, 0, 0},
        {"disk10",
         "disk9s2",
         {},
         {{"disk10s1", Roles{"System"}}, {"disk10s2", Roles{"Data"}}},
         0,
         0},
    };
    ScopedFakeDiskTool tool(vztest::apfsListingXml(layout));
    EXPECT_EQ(getAPFSDataVolume("disk10s1"), "disk10s2");
    EXPECT_EQ(getAPFSDataVolume("disk1"), std::nullopt);
    // Each call runs the tool once, and no finder asks for the system version.
    EXPECT_EQ(tool.runs().size(), 2u);
    EXPECT_EQ(getAPFSVolumeRole("disk10s2"), APFSVolumeRoleData);
    EXPECT_EQ(tool.runs().size(), 3u);
}

TEST(GetAPFSVolumeRole, ExactIdentifierFirstRole) {
    ScopedFakeDiskTool tool(vztest::apfsListingXml(macLayout()));
    struct Case {
        std::optional<std::string_view> name;
        APFSVolumeRole role;
    } cases[] = {
        {"disk1s5", APFSVolumeRoleSystem},    {"disk1s1", APFSVolumeRoleData},
        {"disk1s6", APFSVolumeRoleData}, // "Data" then "System"
        {"disk1s2", APFSVolumeRolePreboot},   {"disk1s3", APFSVolumeRoleRecovery},
        {"disk1s4", APFSVolumeRoleVM},        {"disk1s9", APFSVolumeRoleBackup},
        {"disk1s10", APFSVolumeRoleNone},     // a role without a code
        {"disk1s7", APFSVolumeRoleNone},      // empty Roles
        {"disk1s8", APFSVolumeRoleNone},      // no Roles at all
        {"/dev/disk1s1", APFSVolumeRoleNone}, // no "/dev/" is removed
        {"disk10s1", APFSVolumeRoleSystem},   {"disk1s", APFSVolumeRoleNone},
        {std::nullopt, APFSVolumeRoleNone},
    };
    for (const auto& c : cases)
        EXPECT_EQ(getAPFSVolumeRole(c.name), c.role) << (c.name ? *c.name : "(null)");
}

TEST(GetAPFSVolumeRole, FirstVolumeWithTheIdentifierDecides) {
    // Both references begin disk1s7; the first listing of the volume has no role.
    std::vector<FakeContainer> layout = {
        {"disk1", "disk0s2", {}, {{"disk1s7", Roles{}}}, 0, 0},
        {"disk", "disk0s3", {}, {{"disk1s7", Roles{"VM"}}, {"disk1s8", Roles{"Backup"}}}, 0, 0},
    };
    ScopedFakeDiskTool tool(vztest::apfsListingXml(layout));
    EXPECT_EQ(getAPFSVolumeRole("disk1s7"), APFSVolumeRoleNone);
    // A container without the volume does not end the search.
    EXPECT_EQ(getAPFSVolumeRole("disk1s8"), APFSVolumeRoleBackup);
}

TEST(ApfsQueries, OutputThatIsNoListingAnswersNothing) {
    // No output at all covers a tool that cannot be started too: the runner reads no bytes then.
    const std::string outputs[] = {
        "",
        "Error: unknown verb apfs\n",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Containers</key>",
        // A property list of another shape.
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>disk1</string></array>"
        "</plist>",
        vztest::apfsListingXml({}),
    };
    ScopedSystemVersion version("13.5");
    for (const auto& output : outputs) {
        SCOPED_TRACE(output);
        ScopedFakeDiskTool tool(output);
        EXPECT_TRUE(getAPFSContainer("disk1").isAbsent());
        EXPECT_EQ(getAPFSSystemVolume("disk1"), std::nullopt);
        EXPECT_EQ(getAPFSDataVolume("disk1"), std::nullopt);
        EXPECT_EQ(getAPFSPrebootVolume("disk1"), std::nullopt);
        EXPECT_EQ(getAPFSRecoveryVolume("disk1"), std::nullopt);
        EXPECT_EQ(getAPFSVolumeRole("disk1s1"), APFSVolumeRoleNone);
        EXPECT_EQ(tool.runs().size(), 6u);
    }
}

} // namespace
