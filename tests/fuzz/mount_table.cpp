// The mount-table snapshot read from any table text, and the lookups and APFS listing built on
// it. The table lives in a memfd, reached by its /proc path as a table file would be.
#include "FuzzSupport.h"
#include "libexec/diskutil/ApfsListing.h"
#include "platform/mounts/MountTable.h"
#include "platform/text/Utf8.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Volumes.h>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string& tablePath() {
    static const std::string path = [] {
        vzfuzz::privateSystem();
        const int fd = memfd_create("mounts", MFD_CLOEXEC);
        if (fd < 0)
            std::abort();
        std::string path = "/proc/self/fd/" + std::to_string(fd);
        kx::SystemPaths paths = kx::systemPaths();
        paths.mountTable = path;
        kx::setSystemPaths(paths);
        return path;
    }();
    return path;
}

// Follows every table, after a line feed: whatever comes before it, no line may hide it.
constexpr std::string_view kLastLine = "\n/dev/fuzz-end /fuzz-end fuzzfs rw 0 0\n";

void writeTable(const std::uint8_t* data, std::size_t size) {
    const int fd = std::stoi(tablePath().substr(tablePath().rfind('/') + 1));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size) ||
        pwrite(fd, kLastLine.data(), kLastLine.size(), static_cast<off_t>(size)) !=
            static_cast<ssize_t>(kLastLine.size()))
        std::abort();
}

bool isMountPointOfSome(const std::vector<kx::MountedFileSystem>& entries,
                        std::string_view mountPoint) {
    return std::any_of(entries.begin(), entries.end(),
                       [&](const kx::MountedFileSystem& e) { return e.mountPoint == mountPoint; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = tablePath();
    writeTable(data, size);
    const std::vector<kx::MountedFileSystem> entries = kx::readMountTable(path);
    VZ_FUZZ_CHECK(!entries.empty() &&
                  entries.back() ==
                      (kx::MountedFileSystem{"/dev/fuzz-end", "/fuzz-end", "fuzzfs", "rw"}));
    // Only whole lines are entries, and no line holds a NUL.
    for (const kx::MountedFileSystem& entry : entries)
        for (const std::string* name :
             {&entry.source, &entry.mountPoint, &entry.type, &entry.options})
            VZ_FUZZ_CHECK(name->find('\0') == std::string::npos);

    for (std::size_t i = 0; i < std::min<std::size_t>(entries.size(), 4); ++i) {
        const kx::MountedFileSystem& entry = entries[i];
        const bool firstAtItsMountPoint = std::none_of(
            entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(i),
            [&](const kx::MountedFileSystem& e) { return e.mountPoint == entry.mountPoint; });
        const auto source = getVolumeMountFromName(entry.mountPoint);
        if (firstAtItsMountPoint && kx::isValidUtf8(entry.mountPoint))
            VZ_FUZZ_CHECK(source == (kx::isValidUtf8(entry.source)
                                         ? std::optional<std::string>(entry.source)
                                         : std::nullopt));

        // Whatever entry answers, its mount point is one of the table's.
        const auto mountPoint = getVolumeMountOnName(entry.source);
        VZ_FUZZ_CHECK(!mountPoint || mountPoint->empty() ||
                      isMountPointOfSome(entries, *mountPoint));
        GetVolumeAPFS(entry.mountPoint);
    }

    // The disk tool's stand-in prints this listing as XML, and the library reads it back.
    const PlistValue listing = kx::apfsListingFromMountTable(path);
    const PlistValue& containers = listing["Containers"];
    VZ_FUZZ_CHECK(containers.isArray());
    for (std::size_t c = 0; c < containers.count(); ++c) {
        const PlistValue& volumes = containers[c]["Volumes"];
        VZ_FUZZ_CHECK(volumes.count() > 0);
        for (std::size_t v = 0; v < volumes.count(); ++v)
            VZ_FUZZ_CHECK(isMountPointOfSome(entries, *volumes[v]["MountPoint"].stringValue()));
    }
    VZ_FUZZ_CHECK(PlistValue::parse(listing.xml()) == listing);
    return 0;
}
