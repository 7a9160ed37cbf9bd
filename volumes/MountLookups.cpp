#include "platform/mounts/MountTable.h"
#include "platform/mounts/Utf8.h"
#include "volumes/StringOperations.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Version.h>
#include <VivoziZevidodirid/Volumes.h>

namespace {

// A mount-table name as text: the bytes themselves when they are UTF-8, no value otherwise.
std::optional<std::string> decodedName(std::string_view bytes) {
    if (!kx::isValidUtf8(bytes))
        return std::nullopt;
    return std::string(bytes);
}

// The text from the last "/" to the end, the "/" included; none without a "/".
std::optional<std::string_view> tail(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    return path.substr(slash);
}

} // namespace

std::optional<std::string> getVolumeMountFromName(std::optional<std::string_view> mountPoint) {
    if (!mountPoint)
        return std::string();
    kx::MountTableReader reader(kx::systemPaths().mountTable);
    kx::MountEntryView entry;
    while (reader.next(entry)) {
        // Equal bytes are equal text only when they decode, so decoding can wait for a match.
        if (entry.mountPoint == *mountPoint && kx::isValidUtf8(entry.mountPoint))
            return decodedName(entry.source);
    }
    return std::string();
}

std::optional<std::string> getVolumeMountOnName(std::optional<std::string_view> device) {
    if (!device)
        return std::string();
    const std::string fullName =
        device->starts_with("/dev/") ? std::string(*device) : "/dev/" + std::string(*device);
    const std::string_view bareName = std::string_view(fullName).substr(5);

    kx::MountTableReader reader(kx::systemPaths().mountTable);
    kx::MountEntryView entry;
    while (reader.next(entry)) {
        if (!kx::isValidUtf8(entry.source))
            continue;
        // Both tests on this entry before the next: /dev/disk1s10 listed first answers disk1s1.
        if (entry.source.starts_with(fullName) || vz::containsText(entry.source, bareName))
            return decodedName(entry.mountPoint);
    }
    return std::string();
}

bool GetVolumeAPFS(std::optional<std::string_view> path) {
    if (KXCompareCurrentSystemVersionWith("10.12") == -1)
        return false;
    // A path without a "/" has no tail, so no entry can match it.
    const auto pathTail = path ? tail(*path) : std::nullopt;
    if (!pathTail)
        return false;

    kx::MountTableReader reader(kx::systemPaths().mountTable);
    kx::MountEntryView entry;
    while (reader.next(entry)) {
        const auto entryTail = tail(entry.mountPoint);
        if (entryTail && *entryTail == *pathTail && kx::isValidUtf8(entry.mountPoint))
            return entry.type == "apfs";
    }
    return false;
}
