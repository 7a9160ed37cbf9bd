#include "VolumesFixtures.h"
#include "support/SystemVersion.h"

#include <VivoziZevidodirid/Volumes.h>
#include <gtest/gtest.h>

namespace {

using vztest::FakeContainer;
using vztest::ScopedFakeDiskTool;
using vztest::ScopedSystemVersion;

using Roles = std::vector<std::string>;
using vztest::Name;
using vztest::shown;

// disk1 begins disk10 and disk1s; disk1s lists disk1s7 a second time, with a role.
std::vector<FakeContainer> macLayout() {
    return {
        {"disk1",
         "disk0s2",
         {"disk0s2"},
         {{"disk1s1", Roles{"Data"}},
          {"disk1s2", Roles{"Preboot"}},
          {"disk1s3", Roles{"Data", "System"}},
          {"disk1s4", Roles{"VM"}},
          {"disk1s5", Roles{"System"}},
          {"disk1s7", Roles{}},
          {"disk1s8", std::nullopt},
          {"disk1s9", Roles{"Backup"}},
          {"disk1s10", Roles{"Update"}}},
         1000000,
         250000},
        {"disk10",
         "disk9s2",
         {"disk9s2"},
         {{"disk10s1", Roles{"System"}}, {"disk10s3", Roles{"Recovery"}}},
         500,
         100},
        {"disk1s", "disk0s3", {"disk0s3"}, {{"disk1s7", Roles{"VM"}}}, 1, 0},
    };
}

TEST(GetAPFSContainer, ByReferenceOrByPhysicalStoreEnding) {
    ScopedFakeDiskTool tool(vztest::apfsListingXml(macLayout()));
    ScopedSystemVersion version("13.5");
    struct Case {
        Name name;
        const char* reference; // nullptr: no container
    } cases[] = {
        {"/dev/disk1/", "disk1"},   {"disk0s2", "disk1"},
        {"/dev/rdisk0s2", "disk1"}, // only the end of the name is compared with the store
        {"disk10", "disk10"},       {"disk9s2", "disk10"},
        {"disk1s1", nullptr}, // a volume name is neither
        {"disk2", nullptr},         {"", nullptr},
        {std::nullopt, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(shown(c.name));
        const std::size_t before = tool.runs().size();
        const PlistValue container = getAPFSContainer(c.name);
        EXPECT_EQ(tool.runs().size(), before + (c.name ? 1 : 0));
        if (c.reference) {
            EXPECT_TRUE(container["ContainerReference"].isEqualToString(c.reference));
        } else {
            EXPECT_TRUE(container.isAbsent());
        }
    }
    EXPECT_EQ(getAPFSContainer("disk1")["CapacityFree"].doubleValue(), 250000.0);
}

TEST(GetAPFSContainer, SystemVersionGates) {
    // Before 10.12 the tool is not run; before 10.13 the first physical store stands for the
    // designated one, which those systems do not list.
    ScopedFakeDiskTool tool(
        vztest::apfsListingXml({{"disk1", "disk0s2", {"disk5s2", "disk0s2"}, {}, 1, 0}}));
    struct Case {
        const char* version;
        const char* name;
        bool found;
        bool runs;
    } cases[] = {
        {"10.11.6", "disk1", false, false}, {"10.11.6", "disk5s2", false, false},
        {"10.12", "disk5s2", true, true},   {"10.12.6", "disk0s2", false, true},
        {"10.13", "disk5s2", false, true},  {"10.13", "disk0s2", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + c.name);
        ScopedSystemVersion version(c.version);
        const std::size_t before = tool.runs().size();
        EXPECT_EQ(!getAPFSContainer(c.name).isAbsent(), c.found);
        EXPECT_EQ(tool.runs().size() - before, c.runs ? 1u : 0u);
    }
    EXPECT_EQ(tool.runs().front(), "apfs list -plist");
}

TEST(RoleVolumeFinders, FirstRoleOnlyInContainersTheNameBegins) {
    ScopedFakeDiskTool tool(vztest::apfsListingXml(macLayout()));
    ScopedSystemVersion version("13.5");
    using Finder = std::optional<std::string> (*)(Name);
    struct Case {
        Finder finder;
        Name name;
        std::optional<std::string> volume;
    } cases[] = {
        {getAPFSSystemVolume, "disk1", "disk1s5"}, // disk1s3 lists System second: not its role
        {getAPFSSystemVolume, "/dev/disk1s2", "disk1s5"}, // a volume of the container
        {getAPFSDataVolume, "disk1", "disk1s1"},
        {getAPFSPrebootVolume, "disk1", "disk1s2"},
        {getAPFSRecoveryVolume, "disk1", std::nullopt},
        {getAPFSRecoveryVolume, "disk10s1", "disk10s3"}, // disk1 begins it too, and is passed over
        {getAPFSSystemVolume, "disk10s1", "disk1s5"},    // disk1 is listed first
        {getAPFSSystemVolume, "disk2", std::nullopt},
        {getAPFSSystemVolume, "rdisk1", std::nullopt}, // begins with, not contains
        {getAPFSSystemVolume, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(shown(c.name));
        const std::size_t before = tool.runs().size();
        EXPECT_EQ(c.finder(c.name), c.volume);
        EXPECT_EQ(tool.runs().size(), before + (c.name ? 1 : 0));
    }
}

TEST(GetAPFSVolumeRole, ExactIdentifierFirstRole) {
    ScopedFakeDiskTool tool(vztest::apfsListingXml(macLayout()));
    struct Case {
        Name name;
        APFSVolumeRole role;
    } cases[] = {
        {"disk1s5", APFSVolumeRoleSystem},
        {"disk1s1", APFSVolumeRoleData},
        {"disk1s3", APFSVolumeRoleData},
        {"disk1s2", APFSVolumeRolePreboot},
        {"disk10s3", APFSVolumeRoleRecovery},
        {"disk1s4", APFSVolumeRoleVM},
        {"disk1s9", APFSVolumeRoleBackup},
        {"disk1s10", APFSVolumeRoleNone}, // a role without a code
        {"disk1s7", APFSVolumeRoleNone},  // empty Roles; its later listing in disk1s does not count
        {"disk1s8", APFSVolumeRoleNone},  // no Roles at all
        {"/dev/disk1s1", APFSVolumeRoleNone}, // no "/dev/" is removed
        {"disk1s", APFSVolumeRoleNone},
        {std::nullopt, APFSVolumeRoleNone},
    };
    for (const auto& c : cases)
        EXPECT_EQ(getAPFSVolumeRole(c.name), c.role) << shown(c.name);
}

TEST(ApfsQueries, OutputThatIsNoListingAnswersNothing) {
    const std::string outputs[] = {
        "Error: unknown verb apfs\n",
        "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>disk1</string></array>"
        "</plist>",
    };
    ScopedSystemVersion version("13.5");
    for (const auto& output : outputs) {
        SCOPED_TRACE(output);
        ScopedFakeDiskTool tool(output);
        EXPECT_TRUE(getAPFSContainer("disk1").isAbsent());
        EXPECT_EQ(getAPFSSystemVolume("disk1"), std::nullopt);
        EXPECT_EQ(getAPFSVolumeRole("disk1s1"), APFSVolumeRoleNone);
        EXPECT_EQ(tool.runs().size(), 3u);
    }
}

} // namespace
