// The mount-table snapshot read from any table text, and the lookups and APFS listing built on
// it.
#include "FuzzSupport.h"
#include "libexec/diskutil/ApfsListing.h"
#include "platform/mounts/MountTable.h"
#include "platform/text/Utf8.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Volumes.h>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The index of the first entry mounted at mountPoint; entries.size() for none.
std::size_t firstAt(const std::vector<kx::MountedFileSystem>& entries,
                    std::string_view mountPoint) {
    return static_cast<std::size_t>(
        std::ranges::find(entries, mountPoint, &kx::MountedFileSystem::mountPoint) -
        entries.begin());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Every table is followed by one more line: whatever comes before it, no line may hide it.
    const std::string path = vzfuzz::privateSystem() + "/mounts";
    vztest::writeFile(path, std::string(reinterpret_cast<const char*>(data), size) +
                                "\n/dev/fuzz-end /fuzz-end fuzzfs rw 0 0\n");
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
        const auto source = getVolumeMountFromName(entry.mountPoint);
        if (firstAt(entries, entry.mountPoint) == i && kx::isValidUtf8(entry.mountPoint))
            VZ_FUZZ_CHECK(source == (kx::isValidUtf8(entry.source) ? std::optional(entry.source)
                                                                   : std::nullopt));

        // Whatever entry answers, its mount point is one of the table's.
        const auto mountPoint = getVolumeMountOnName(entry.source);
        VZ_FUZZ_CHECK(!mountPoint || mountPoint->empty() ||
                      firstAt(entries, *mountPoint) < entries.size());
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
            VZ_FUZZ_CHECK(firstAt(entries, *volumes[v]["MountPoint"].stringValue()) <
                          entries.size());
    }
    VZ_FUZZ_CHECK(PlistValue::parse(listing.xml()) == listing);
    return 0;
}
