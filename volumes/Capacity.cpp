#include "platform/mounts/FileSystemStatistics.h"
#include "volumes/StringOperations.h"

#include <VivoziZevidodirid/Volumes.h>
#include <cstdint>

namespace {

enum class Measure { Total, Free, Used };

// Counts convert from their 64-bit value taken as signed, and the used count is formed in
// integer arithmetic before it is converted.
double volumeSize(std::optional<std::string_view> path, Measure measure) {
    if (!path)
        return 0.0;
    const auto statistics = kx::fileSystemStatistics(*path);
    if (!statistics)
        return 0.0;
    std::uint64_t blocks = statistics->blocks;
    if (measure == Measure::Free)
        blocks = statistics->freeBlocks;
    else if (measure == Measure::Used)
        blocks = statistics->blocks - statistics->freeBlocks;
    return static_cast<double>(statistics->blockSize) *
           static_cast<double>(static_cast<std::int64_t>(blocks));
}

// The container of a volume device: /dev/disk1s1 gives disk1, /dev/disk3s1s1 gives disk3. None
// when the last component holds no "disk" (network and virtual file systems, or no device).
std::optional<std::string> containerName(std::string_view device) {
    const std::string_view component = vz::lastPathComponent(device);
    constexpr std::string_view kDisk = "disk";
    const auto first = component.find(kDisk);
    if (first == std::string_view::npos)
        return std::nullopt;
    // The piece between the first "disk" and the next one (or the end), up to its first "s".
    std::string_view piece = component.substr(first + kDisk.size());
    piece = piece.substr(0, piece.find(kDisk));
    piece = piece.substr(0, piece.find('s'));
    return std::string(kDisk) + std::string(piece);
}

} // namespace

double KXFoundationGetVolTotalSize(std::optional<std::string_view> path) {
    return volumeSize(path, Measure::Total);
}

double KXFoundationGetVolFreeSize(std::optional<std::string_view> path) {
    return volumeSize(path, Measure::Free);
}

double KXFoundationGetVolUsedSize(std::optional<std::string_view> path) {
    return volumeSize(path, Measure::Used);
}

double KXFoundationGetAPFSVolUsedSize(std::optional<std::string_view> mountPoint) {
    const auto device = getVolumeMountFromName(mountPoint);
    if (const auto name = containerName(device.value_or(""))) {
        const PlistValue container = getAPFSContainer(*name);
        // The used space of the whole container, every volume in it together.
        if (!container.isAbsent())
            return container["CapacityCeiling"].doubleValue() -
                   container["CapacityFree"].doubleValue();
    }
    return KXFoundationGetVolUsedSize(mountPoint);
}

std::string KXFoundationGetVolTotalSizeString(std::optional<std::string_view> path) {
    return KXFoundationConvertBytesToStringValue(KXFoundationGetVolTotalSize(path));
}

std::string KXFoundationGetVolUsedSizeString(std::optional<std::string_view> path) {
    return KXFoundationConvertBytesToStringValue(KXFoundationGetVolUsedSize(path));
}
