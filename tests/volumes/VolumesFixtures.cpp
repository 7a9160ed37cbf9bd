#include "VolumesFixtures.h"

namespace vztest {

ScopedMountTable::ScopedMountTable(std::string_view content) {
    writeFile(dir_.file("mounts"), content);
    paths_.edit().mountTable = dir_.file("mounts");
    paths_.apply();
}

std::string apfsListingXml(const std::vector<FakeContainer>& containers) {
    PlistValue::Array list;
    for (const auto& container : containers) {
        PlistValue::Array stores, volumes;
        for (const auto& store : container.physicalStores)
            stores.push_back(PlistValue::Dictionary{{"DeviceIdentifier", store}, {"Size", 1000}});
        for (const auto& volume : container.volumes) {
            PlistValue entry = PlistValue::Dictionary{{"DeviceIdentifier", volume.identifier}};
            if (volume.roles)
                entry.setValueForKey("Roles",
                                     PlistValue::Array(volume.roles->begin(), volume.roles->end()));
            volumes.push_back(std::move(entry));
        }
        PlistValue entry = PlistValue::Dictionary{
            {"ContainerReference", container.reference},
            {"DesignatedPhysicalStore", container.designatedStore},
            {"PhysicalStores", std::move(stores)},
            {"Volumes", std::move(volumes)},
        };
        if (container.ceiling)
            entry.setValueForKey("CapacityCeiling", *container.ceiling);
        if (container.free)
            entry.setValueForKey("CapacityFree", *container.free);
        list.push_back(std::move(entry));
    }
    return PlistValue(PlistValue::Dictionary{{"Containers", std::move(list)}}).xml();
}

ScopedFakeDiskTool::ScopedFakeDiskTool(std::string_view output) {
    writeFile(dir_.file("output"), output);
    // The tool runs with an empty environment: no PATH, so every program by its full path.
    writeScript(dir_.file("diskutil"), "echo \"$@\" >> '" + dir_.file("runs") + "'\n/bin/cat '" +
                                           dir_.file("output") + "'\n");
    paths_.edit().diskutil = dir_.file("diskutil");
    paths_.apply();
}

std::vector<std::string> ScopedFakeDiskTool::runs() const {
    return lines(readFile(dir_.file("runs")));
}

} // namespace vztest
