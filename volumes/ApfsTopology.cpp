#include "tools/ToolRunner.h"
#include "version/MacOSGate.h"
#include "volumes/ApfsListing.h"
#include "volumes/StringOperations.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Volumes.h>
#include <array>

namespace vz {
namespace {

std::optional<std::string_view> text(const PlistValue& value) {
    return value.stringValue();
}

// The identifier of a container's physical store: systems before 10.13 list no designated store,
// only the stores themselves.
std::optional<std::string_view> physicalStore(const PlistValue& container) {
    if (runningMacOSOlderThan("10.13"))
        return text(container["PhysicalStores"][0]["DeviceIdentifier"]);
    return text(container["DesignatedPhysicalStore"]);
}

std::string_view withoutDevPrefix(std::string_view name) {
    return name.starts_with("/dev/") ? name.substr(5) : name;
}

// The container a device name belongs to: disk10 for disk10s1, disk1 for disk1s5s1 and for disk1
// itself. A name of another shape is its own.
std::string_view ownContainer(std::string_view bareName) {
    std::size_t end = 4;
    if (!bareName.starts_with("disk"))
        return bareName;
    while (end < bareName.size() && bareName[end] >= '0' && bareName[end] <= '9')
        ++end;
    return end == 4 ? bareName : bareName.substr(0, end);
}

} // namespace

PlistValue runApfsListing() {
    return plistFromToolOutput(runToolReadingOutput(
        kx::systemPaths().diskutil, std::vector<std::string>{"apfs", "list", "-plist"}));
}

PlistValue containerInListing(const PlistValue& listing, std::string_view name) {
    const PlistValue& containers = listing["Containers"];
    const std::string_view component = lastPathComponent(name);
    for (std::size_t i = 0; i < containers.count(); ++i) {
        const PlistValue& container = containers[i];
        if (container["ContainerReference"].isEqualToString(component))
            return container;
        // Only the end of the name is compared, so /dev/rdisk0s2 finds the store disk0s2.
        if (endsWith(name, physicalStore(container)))
            return container;
    }
    return PlistValue();
}

std::optional<std::string> roleVolumeInListing(const PlistValue& listing, std::string_view bareName,
                                               std::string_view role) {
    const PlistValue& containers = listing["Containers"];
    // disk1 begins disk10s1 too, so the name's own container, when listed, is searched alone.
    // Only without it is every container that begins the name searched, the walk going on
    // after each.
    const std::string_view own = ownContainer(bareName);
    bool ownListed = false;
    for (std::size_t i = 0; i < containers.count() && !own.empty() && !ownListed; ++i)
        ownListed = containers[i]["ContainerReference"].isEqualToString(own);
    for (std::size_t i = 0; i < containers.count(); ++i) {
        const PlistValue& container = containers[i];
        const PlistValue& reference = container["ContainerReference"];
        if (ownListed ? !reference.isEqualToString(own) : !beginsWith(bareName, text(reference)))
            continue;
        const PlistValue& volumes = container["Volumes"];
        for (std::size_t j = 0; j < volumes.count(); ++j) {
            const PlistValue& volume = volumes[j];
            if (volume["Roles"][0].isEqualToString(role)) {
                if (const auto identifier = text(volume["DeviceIdentifier"]))
                    return std::string(*identifier);
                return std::nullopt; // the volume with the role names no device
            }
        }
    }
    return std::nullopt;
}

APFSVolumeRole volumeRoleInListing(const PlistValue& listing, std::string_view name) {
    static constexpr std::array<std::string_view, 6> kRoleWords = {"System",   "Data", "Preboot",
                                                                   "Recovery", "VM",   "Backup"};
    const PlistValue& containers = listing["Containers"];
    for (std::size_t i = 0; i < containers.count(); ++i) {
        const PlistValue& container = containers[i];
        if (!beginsWith(name, text(container["ContainerReference"])))
            continue;
        const PlistValue& volumes = container["Volumes"];
        for (std::size_t j = 0; j < volumes.count(); ++j) {
            const PlistValue& volume = volumes[j];
            if (!volume["DeviceIdentifier"].isEqualToString(name))
                continue;
            // The first volume with the identifier decides, even when it has no role.
            const PlistValue& firstRole = volume["Roles"][0];
            for (std::size_t code = 0; code < kRoleWords.size(); ++code) {
                if (firstRole.isEqualToString(kRoleWords[code]))
                    return static_cast<APFSVolumeRole>(code);
            }
            return APFSVolumeRoleNone;
        }
    }
    return APFSVolumeRoleNone;
}

} // namespace vz

PlistValue getAPFSContainer(std::optional<std::string_view> name) {
    if (vz::runningMacOSOlderThan("10.12"))
        return PlistValue();
    // No name can match a container, so the tool need not run.
    if (!name)
        return PlistValue();
    return vz::containerInListing(vz::runApfsListing(), *name);
}

namespace {

std::optional<std::string> roleVolume(std::optional<std::string_view> name, std::string_view role) {
    if (!name)
        return std::nullopt;
    return vz::roleVolumeInListing(vz::runApfsListing(), vz::withoutDevPrefix(*name), role);
}

} // namespace

std::optional<std::string> getAPFSSystemVolume(std::optional<std::string_view> name) {
    return roleVolume(name, "System");
}

std::optional<std::string> getAPFSDataVolume(std::optional<std::string_view> name) {
    return roleVolume(name, "Data");
}

std::optional<std::string> getAPFSPrebootVolume(std::optional<std::string_view> name) {
    return roleVolume(name, "Preboot");
}

std::optional<std::string> getAPFSRecoveryVolume(std::optional<std::string_view> name) {
    return roleVolume(name, "Recovery");
}

APFSVolumeRole getAPFSVolumeRole(std::optional<std::string_view> name) {
    if (!name)
        return APFSVolumeRoleNone;
    return vz::volumeRoleInListing(vz::runApfsListing(), *name);
}
