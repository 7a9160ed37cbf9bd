#include "volumes/Holding.h"

#include <climits>
#include <cstdlib>
#include <map>
#include <memory>
#include <sys/stat.h>

namespace vz {

std::optional<kx::VolumeSpace> spaceFromStatistics(const kx::FileSystemStatistics& statistics) {
    std::uint64_t total = 0, free = 0, available = 0;
    const std::uint64_t unit = statistics.blockSize;
    if (__builtin_mul_overflow(statistics.blocks, unit, &total) ||
        __builtin_mul_overflow(statistics.freeBlocks, unit, &free) ||
        __builtin_mul_overflow(statistics.availableBlocks, unit, &available))
        return std::nullopt;
    if (free > total || available > total)
        return std::nullopt;
    return kx::VolumeSpace{total, free, available, total - free};
}

bool isMountPointOf(std::string_view mountPoint, std::string_view path) {
    if (mountPoint == "/")
        return path.starts_with('/');
    return path.starts_with(mountPoint) &&
           (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

std::optional<std::size_t>
holdingEntry(const std::vector<kx::MountedFileSystem>& entries, std::string_view path,
             dev_t pathDevice,
             const std::function<std::optional<dev_t>(const std::string&)>& deviceOf) {
    std::optional<std::size_t> longest, matching;
    const auto longer = [&](std::optional<std::size_t> best, std::size_t i) {
        return !best || entries[i].mountPoint.size() > entries[*best].mountPoint.size();
    };
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::string& point = entries[i].mountPoint;
        if (!isMountPointOf(point, path))
            continue;
        // A later mount on a parent point need not hide this one (some sandboxes mount / after
        // /proc), so only the device tells; on the same point the last one is seen.
        bool hidden = false;
        for (std::size_t later = i + 1; later < entries.size() && !hidden; ++later)
            hidden = entries[later].mountPoint == point;
        if (hidden)
            continue;
        if (longer(longest, i))
            longest = i;
        if (longer(matching, i) && deviceOf(point) == pathDevice)
            matching = i;
    }
    return matching ? matching : longest;
}

} // namespace vz

namespace kx {

std::optional<VolumeSpace> volumeSpace(std::string_view path) {
    const auto statistics = fileSystemStatistics(path);
    if (!statistics)
        return std::nullopt;
    return vz::spaceFromStatistics(*statistics);
}

std::optional<MountedFileSystem> volumeHolding(std::string_view path) {
    if (path.empty() || path.find('\0') != std::string_view::npos)
        return std::nullopt;
    const std::unique_ptr<char, decltype(&std::free)> resolved(
        realpath(std::string(path).c_str(), nullptr), &std::free);
    struct stat info {};
    if (!resolved || stat(resolved.get(), &info) != 0)
        return std::nullopt;
    const std::vector<MountedFileSystem> entries = mountedFileSystems();
    // Every mount point asked is one of the path's parents, already walked by realpath.
    std::map<std::string, std::optional<dev_t>> devices;
    const auto deviceOf = [&devices](const std::string& point) {
        const auto [at, added] = devices.try_emplace(point);
        struct stat pointInfo {};
        if (added && stat(point.c_str(), &pointInfo) == 0)
            at->second = pointInfo.st_dev;
        return at->second;
    };
    const auto index = vz::holdingEntry(entries, resolved.get(), info.st_dev, deviceOf);
    if (!index)
        return std::nullopt;
    return entries[*index];
}

} // namespace kx
