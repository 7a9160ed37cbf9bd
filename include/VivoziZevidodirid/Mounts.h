#pragma once

#include <VivoziZevidodirid/Export.h>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// One line of the mount table. The table's escapes (\040 for a blank, \011, \012, \134) are
// decoded; every other byte is kept as it is, so a name need not be UTF-8.
struct MountedFileSystem {
    std::string source;     // what is mounted: a device path, a server share, a pseudo name
    std::string mountPoint; // where
    std::string type;       // the file-system type name
    std::string options;    // as the table lists them: "rw,nosuid,relatime"
    friend bool operator==(const MountedFileSystem&, const MountedFileSystem&) = default;
};

// A private snapshot of the mount table (kx::systemPaths().mountTable) in table order, where a
// later mount on a mount point hides the earlier ones; empty when the table cannot be read. No
// file system is asked for its statistics, so a dead network mount cannot stall the call. A line
// no kernel writes (one holding a NUL, or longer than any real one) is left out, and a table that
// never ends is read only up to a bound. Safe from any thread.
VZ_EXPORT std::vector<MountedFileSystem> mountedFileSystems();

// The space of a file system in bytes.
struct VolumeSpace {
    std::uint64_t totalBytes = 0;
    std::uint64_t freeBytes = 0;      // every free block, the superuser's reserve included
    std::uint64_t availableBytes = 0; // what an unprivileged user may still write
    std::uint64_t usedBytes = 0;      // totalBytes - freeBytes
    friend bool operator==(const VolumeSpace&, const VolumeSpace&) = default;
};

// The space of the file system holding path, from one statfs; nullopt when the file system
// cannot be asked, and when its counts cannot be true (a size beyond 64 bits, more free or
// available than in all): no made-up figure stands in for them.
VZ_EXPORT std::optional<VolumeSpace> volumeSpace(std::string_view path);

// The mounted file system holding path (symbolic links followed), as `df PATH` answers it: of
// the snapshot's mount points on the path's own way up, the longest whose file system is the
// path's (by device number), its last entry. Only the path's own parents are asked, so a dead
// network mount elsewhere cannot stall the call. nullopt when the path does not resolve.
VZ_EXPORT std::optional<MountedFileSystem> volumeHolding(std::string_view path);

} // namespace kx
