#pragma once

#include <VivoziZevidodirid/Export.h>
#include <string>
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

} // namespace kx
