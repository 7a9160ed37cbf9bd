#include "platform/mounts/ApfsListing.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

TEST(MountApfsListing, NoApfsMountListsNoContainer) {
    vztest::TempDir dir;
    vztest::writeFile(dir.file("mounts"), "/dev/vda / ext4 rw 0 0\n"
                                          "/dev/vdb /apfs-named-folder xfs rw 0 0\n");
    const PlistValue listing = kx::apfsListingFromMountTable(dir.file("mounts"));
    EXPECT_TRUE(listing["Containers"].isArray());
    EXPECT_EQ(listing["Containers"].count(), 0u);
    // An unreadable table has the same empty shape.
    EXPECT_EQ(kx::apfsListingFromMountTable(dir.file("absent")), listing);
}

TEST(MountApfsListing, OneContainerPerSourceInTableOrder) {
    vztest::TempDir dir;
    const std::string mountPoint = dir.path(); // a real folder, so its capacity can be read
    vztest::writeFile(dir.file("mounts"), "/dev/sdb2 " + mountPoint + " apfs ro 0 0\n" +
                                              "/dev/vda / ext4 rw 0 0\n" +
                                              "/dev/sdc1 /mnt/fuse fuse.apfs-fuse ro 0 0\n" +
                                              "/dev/sdb2 /mnt/again apfs ro 0 0\n" +
                                              "/dev/sdd\xff /mnt/bad apfs ro 0 0\n");
    const PlistValue containers = kx::apfsListingFromMountTable(dir.file("mounts"))["Containers"];
    ASSERT_EQ(containers.count(), 2u); // the source that is not UTF-8 is left out

    const PlistValue& first = containers[0];
    EXPECT_TRUE(first["ContainerReference"].isEqualToString("sdb2"));
    EXPECT_TRUE(first["DesignatedPhysicalStore"].isEqualToString("sdb2"));
    EXPECT_TRUE(first["PhysicalStores"][0]["DeviceIdentifier"].isEqualToString("sdb2"));
    ASSERT_EQ(first["Volumes"].count(), 2u);
    EXPECT_TRUE(first["Volumes"][0]["MountPoint"].isEqualToString(mountPoint));
    EXPECT_TRUE(first["Volumes"][1]["MountPoint"].isEqualToString("/mnt/again"));
    EXPECT_TRUE(first["Volumes"][0]["Roles"].isArray());
    EXPECT_GT(first["CapacityCeiling"].doubleValue(), 0.0);
    EXPECT_LE(first["CapacityFree"].doubleValue(), first["CapacityCeiling"].doubleValue());

    const PlistValue& second = containers[1];
    EXPECT_TRUE(second["ContainerReference"].isEqualToString("sdc1"));
    // A mount point that cannot be asked leaves the capacities out rather than inventing them.
    EXPECT_TRUE(second["CapacityCeiling"].isAbsent());
}

} // namespace
