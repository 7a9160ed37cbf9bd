#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kx {

// What the library reads of a file system's statistics.
struct FileSystemStatistics {
    std::uint64_t blockSize = 0;       // the unit of the two counts below
    std::uint64_t blocks = 0;          // data blocks in all
    std::uint64_t freeBlocks = 0;      // free blocks, those reserved for the superuser included
    std::uint64_t availableBlocks = 0; // free blocks an unprivileged user may still write
};

// The statistics of the file system holding path; nullopt when they cannot be read, and for an
// empty path or one with an embedded NUL, which name no file.
std::optional<FileSystemStatistics> fileSystemStatistics(std::string_view path);

} // namespace kx
