#include "platform/mounts/MountTable.h"

#include <cstdio>
#include <mntent.h>
#include <vector>

namespace kx {
namespace {

// Room for the longest line the kernel writes before the options: a source and a mount point of
// PATH_MAX bytes each, every byte escaped to four. getmntent_r silently cuts a longer line, so
// the buffer must hold both names whole; a cut in the options that follow does no harm.
constexpr std::size_t kLineBufferSize = 64 * 1024;

} // namespace

struct MountTableReader::State {
    FILE* stream = nullptr;
    mntent entry{};
    // Left uninitialised: getmntent_r writes before it reads, and clearing 64 KiB would cost
    // more than reading a small table.
    std::unique_ptr<char[]> line{new char[kLineBufferSize]};
};

MountTableReader::MountTableReader(const std::string& tablePath) : state_(new State) {
    // setmntent opens close-on-exec, so a tool started by another thread meanwhile never
    // inherits the stream.
    state_->stream = setmntent(tablePath.c_str(), "r");
}

MountTableReader::~MountTableReader() {
    if (state_->stream)
        endmntent(state_->stream);
}

bool MountTableReader::isOpen() const {
    return state_->stream != nullptr;
}

bool MountTableReader::next(MountEntryView& entry) {
    if (!state_->stream)
        return false;
    // getmntent_r skips blank and comment lines and decodes the kernel's escapes in place.
    const mntent* found = getmntent_r(state_->stream, &state_->entry, state_->line.get(),
                                      static_cast<int>(kLineBufferSize));
    if (!found)
        return false;
    entry.source = found->mnt_fsname ? found->mnt_fsname : "";
    entry.mountPoint = found->mnt_dir ? found->mnt_dir : "";
    entry.type = found->mnt_type ? found->mnt_type : "";
    return true;
}

std::vector<MountEntry> readMountTable(const std::string& tablePath) {
    std::vector<MountEntry> entries;
    MountTableReader reader(tablePath);
    MountEntryView entry;
    while (reader.next(entry))
        entries.push_back(
            {std::string(entry.source), std::string(entry.mountPoint), std::string(entry.type)});
    return entries;
}

} // namespace kx
