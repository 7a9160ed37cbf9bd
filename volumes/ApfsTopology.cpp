#include "tools/ToolRunner.h"
#include "volumes/ApfsListing.h"
#include "volumes/StringOperations.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Version.h>
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
    if (KXCompareCurrentSystemVersionWith("10.13") == -1)
        return text(container["PhysicalStores"][0]["DeviceIdentifier"]);
    return text(container["DesignatedPhysicalStore"]);
}

std::string_view withoutDevPrefix(std::string_view name) {
    return name.starts_with("/dev/") ? name.substr(5) : name;
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
    for (std::size_t i = 0; i < containers.count(); ++i) {
        const PlistValue& container = containers[i];
        // disk1 begins disk10s1 too: such a container is searched, and the walk goes on after it.
        if (!beginsWith(bareName, text(container["ContainerReference"])))
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
    if (KXCompareCurrentSystemVersionWith("10.12") == -1)
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
