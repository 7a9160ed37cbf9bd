#pragma once

#include <VivoziZevidodirid/Mounts.h>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

// One line of the mount table, with the kernel's octal escapes (\040, \011, \012, \134) decoded
// and every other byte kept as it is (no character-set decoding).
struct MountEntryView {
    std::string_view source;     // what is mounted: a device path, a server share, a pseudo name
    std::string_view mountPoint; // where
    std::string_view type;       // the file-system type name
    std::string_view options;    // comma-separated
};

// Reads a mount table (fstab format) line by line in table order. Each reader owns its stream
// and line buffer, so readers on several threads never share a snapshot. The table is read
// as it stands: no file system is asked to refresh its statistics, so a dead network mount
// cannot stall the walk. Only whole lines are entries: a line holding a NUL or longer than any
// the kernel writes is skipped, and reading stops at a bound far above any real table, so a
// table that never ends is harmless.
class MountTableReader {
public:
    explicit MountTableReader(const std::string& tablePath);
    ~MountTableReader();
    MountTableReader(const MountTableReader&) = delete;
    MountTableReader& operator=(const MountTableReader&) = delete;

    // False when the table could not be opened; next() then finds no entry.
    bool isOpen() const;
    // The next entry, or false at the end. The views stay valid until the next call.
    bool next(MountEntryView& entry);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Every entry of the table at tablePath, in order; empty when it cannot be read.
std::vector<MountedFileSystem> readMountTable(const std::string& tablePath);

} // namespace kx
