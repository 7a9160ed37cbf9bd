// Only Linux code lives under platform/linux/: here, a file system's size from statfs(2).
#include "platform/linux/Statfs.h"

#include <cerrno>
#include <string>

namespace kx {

FileSystemStatistics statisticsFromRecord(const struct statfs& record) {
    // Linux counts f_blocks and f_bfree in units of f_frsize; f_bsize is only the preferred I/O
    // size, which differs on virtiofs and several FUSE file systems. Kernels before 2.6 left
    // f_frsize zero, and there the two were the same.
    const auto unit = record.f_frsize > 0 ? record.f_frsize : record.f_bsize;
    return FileSystemStatistics{
        static_cast<std::uint64_t>(unit), static_cast<std::uint64_t>(record.f_blocks),
        static_cast<std::uint64_t>(record.f_bfree), static_cast<std::uint64_t>(record.f_bavail)};
}

std::optional<FileSystemStatistics> fileSystemStatistics(std::string_view path) {
    if (path.empty() || path.find('\0') != std::string_view::npos)
        return std::nullopt;
    const std::string terminated(path);
    struct statfs record {};
    int result;
    do {
        result = ::statfs(terminated.c_str(), &record);
    } while (result != 0 && errno == EINTR); // network and FUSE file systems can be interrupted
    if (result != 0)
        return std::nullopt;
    return statisticsFromRecord(record);
}

} // namespace kx
