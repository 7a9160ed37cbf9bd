#pragma once

// The pure parts of kx::volumeSpace and kx::volumeHolding, apart from the system calls.

#include "platform/mounts/FileSystemStatistics.h"

#include <VivoziZevidodirid/Mounts.h>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace vz {

// Byte counts from block counts; nullopt when a product does not fit 64 bits or the counts
// contradict each other.
std::optional<kx::VolumeSpace> spaceFromStatistics(const kx::FileSystemStatistics& statistics);

// Whether mountPoint is path itself or one of its parents (both absolute, without "." or "..").
bool isMountPointOf(std::string_view mountPoint, std::string_view path);

// The index of the entry holding the absolute, resolved path whose device is pathDevice:
// entries hidden by a later mount on the same point are passed over; of the rest on the path's
// way up, the longest whose device (deviceOf, asked only of those) is the
// path's, or the longest of them all when none is (a btrfs subvolume has a device of its own).
std::optional<std::size_t>
holdingEntry(const std::vector<kx::MountedFileSystem>& entries, std::string_view path,
             dev_t pathDevice,
             const std::function<std::optional<dev_t>(const std::string&)>& deviceOf);

} // namespace vz
