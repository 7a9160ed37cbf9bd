#include "libexec/diskutil/ApfsListing.h"

#include "platform/mounts/FileSystemStatistics.h"
#include "platform/mounts/MountTable.h"
#include "platform/text/Utf8.h"

#include <cstdint>
#include <limits>

namespace kx {
namespace {

// The in-kernel driver mounts as "apfs", the FUSE one as "fuse.apfs-fuse" or "fuse.apfs".
bool isApfsType(std::string_view type) {
    return type == "apfs" || type.substr(0, 10) == "fuse.apfs-" || type == "fuse.apfs";
}

std::string_view lastComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

PlistValue byteCount(std::uint64_t blockSize, std::uint64_t blocks) {
    // Saturates rather than wraps on absurd counts.
    if (blockSize != 0 && blocks > std::numeric_limits<std::uint64_t>::max() / blockSize)
        return PlistValue::unsignedInteger(std::numeric_limits<std::uint64_t>::max());
    return PlistValue::unsignedInteger(blockSize * blocks);
}

} // namespace

PlistValue apfsListingFromMountTable(const std::string& tablePath) {
    PlistValue containers = PlistValue::array();
    MountTableReader reader(tablePath);
    MountEntryView entry;
    while (reader.next(entry)) {
        // A property list holds only UTF-8 text.
        if (!isApfsType(entry.type) || !isValidUtf8(entry.source) || !isValidUtf8(entry.mountPoint))
            continue;
        const std::string reference(lastComponent(entry.source));
        PlistValue volume = PlistValue::dictionary();
        volume.setValueForKey("DeviceIdentifier", reference);
        volume.setValueForKey("MountPoint", entry.mountPoint);
        volume.setValueForKey("Roles", PlistValue::array());

        // A source mounted more than once is one container with several volumes.
        PlistValue* container = nullptr;
        for (std::size_t i = 0; i < containers.count(); ++i) {
            PlistValue* candidate = containers.mutableObjectAtIndex(i);
            if (candidate && (*candidate)["ContainerReference"].isEqualToString(reference))
                container = candidate;
        }
        if (container) {
            if (PlistValue* volumes = container->mutableObjectForKey("Volumes"))
                volumes->append(std::move(volume));
            continue;
        }

        PlistValue store = PlistValue::dictionary();
        store.setValueForKey("DeviceIdentifier", reference);
        PlistValue stores = PlistValue::array();
        stores.append(std::move(store));
        PlistValue volumes = PlistValue::array();
        volumes.append(std::move(volume));

        PlistValue created = PlistValue::dictionary();
        created.setValueForKey("ContainerReference", reference);
        created.setValueForKey("DesignatedPhysicalStore", reference);
        created.setValueForKey("PhysicalStores", std::move(stores));
        created.setValueForKey("Volumes", std::move(volumes));
        if (const auto statistics = fileSystemStatistics(entry.mountPoint)) {
            created.setValueForKey("CapacityCeiling",
                                   byteCount(statistics->blockSize, statistics->blocks));
            created.setValueForKey("CapacityFree",
                                   byteCount(statistics->blockSize, statistics->freeBlocks));
        }
        containers.append(std::move(created));
    }
    PlistValue listing = PlistValue::dictionary();
    listing.setValueForKey("Containers", std::move(containers));
    return listing;
}

} // namespace kx
