#include "platform/mounts/MountTable.h"
#include "platform/text/Utf8.h"
#include "version/MacOSGate.h"
#include "volumes/StringOperations.h"

#include <VivoziZevidodirid/SystemPaths.h>
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

    // The entry of exactly this device answers first; only without one does the first entry
    // that begins with the name (/dev/disk1s10 for disk1s1, or a sealed snapshot such as
    // /dev/disk3s5s1 for disk3s5) or contains it (a share named after it) answer.
    std::optional<std::optional<std::string>> loose;
    kx::MountTableReader reader(kx::systemPaths().mountTable);
    kx::MountEntryView entry;
    while (reader.next(entry)) {
        if (!kx::isValidUtf8(entry.source))
            continue;
        if (entry.source == fullName)
            return decodedName(entry.mountPoint);
        // Both tests on this entry before the next.
        if (!loose &&
            (entry.source.starts_with(fullName) || vz::containsText(entry.source, bareName)))
            loose = decodedName(entry.mountPoint);
    }
    return loose.value_or(std::string());
}

bool GetVolumeAPFS(std::optional<std::string_view> path) {
    if (vz::runningMacOSOlderThan("10.12"))
        return false;
    // A path without a "/" has no tail, so no entry can match it.
    const auto pathTail = path ? tail(*path) : std::nullopt;
    if (!pathTail)
        return false;

    // The entry mounted exactly at the path decides first; only without one does the first
    // entry with the same last part decide (/System/Volumes/Data, listed first, for
    // /Volumes/Data).
    std::optional<bool> byTail;
    kx::MountTableReader reader(kx::systemPaths().mountTable);
    kx::MountEntryView entry;
    while (reader.next(entry)) {
        const bool exact = entry.mountPoint == *path;
        if ((!exact && (byTail || tail(entry.mountPoint) != pathTail)) ||
            !kx::isValidUtf8(entry.mountPoint))
            continue;
        if (exact)
            return entry.type == "apfs";
        byTail = entry.type == "apfs";
    }
    return byTail.value_or(false);
}
