// Only Linux code lives under platform/linux/: here, the kernel's mount table (/proc/self/mounts).
#include "platform/mounts/MountTable.h"

#include "platform/files/Descriptor.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kx {
namespace {

// The longest line the kernel writes before the options: a source and a mount point of
// PATH_MAX bytes each, every byte escaped to four, 32 KiB; the rest leaves room for long
// options (overlay layer lists). A longer line is no kernel's: it is skipped whole, so that no
// name is ever read cut short.
constexpr std::size_t kMaxLine = 64 * 1024;
// One line held whole, and room to read more after it.
constexpr std::size_t kBufferSize = kMaxLine + 16 * 1024;
// Some thousand times a large real table (a few hundred bytes per mount): a table that never
// ends, such as /dev/zero, is read no further.
constexpr std::uint64_t kMaxTableBytes = std::uint64_t{64} << 20;

// The next field of a line: blanks and tabs separate fields, as getmntent reads them. Empty when
// the line has no more.
char* nextField(char*& rest, char* end, std::size_t& size) {
    while (rest < end && (*rest == ' ' || *rest == '\t'))
        ++rest;
    char* field = rest;
    while (rest < end && *rest != ' ' && *rest != '\t')
        ++rest;
    size = static_cast<std::size_t>(rest - field);
    return field;
}

bool escapeIs(const char* at, const char* end, const char (&digits)[4]) {
    return end - at >= 4 && at[1] == digits[0] && at[2] == digits[1] && at[3] == digits[2];
}

// Decodes the kernel's escapes in place, as getmntent does: \040 blank, \011 tab, \012 line
// feed, \134 and \\ backslash. Every other byte stays as it is.
std::string_view decode(char* field, std::size_t size) {
    const char* read = field;
    const char* end = field + size;
    char* write = field;
    while (read < end) {
        if (*read != '\\') {
            *write++ = *read++;
        } else if (escapeIs(read, end, "040")) {
            *write++ = ' ', read += 4;
        } else if (escapeIs(read, end, "011")) {
            *write++ = '\t', read += 4;
        } else if (escapeIs(read, end, "012")) {
            *write++ = '\n', read += 4;
        } else if (escapeIs(read, end, "134")) {
            *write++ = '\\', read += 4;
        } else if (end - read >= 2 && read[1] == '\\') {
            *write++ = '\\', read += 2;
        } else {
            *write++ = *read++;
        }
    }
    return {field, static_cast<std::size_t>(write - field)};
}

} // namespace

struct MountTableReader::State {
    FileDescriptor fd;
    // Left uninitialised: every byte is read into before it is looked at.
    std::unique_ptr<char[]> buffer = std::make_unique_for_overwrite<char[]>(kBufferSize);
    std::size_t begin = 0; // unread bytes are [begin, end)
    std::size_t end = 0;
    std::uint64_t total = 0; // bytes read from the table so far
    bool atEnd = false;
    bool skipping = false; // inside a line too long to keep

    // The next whole line, without its line feed (the last one may lack it); false at the end.
    bool nextLine(char*& line, std::size_t& size);
};

bool MountTableReader::State::nextLine(char*& line, std::size_t& size) {
    for (;;) {
        char* from = buffer.get() + begin;
        if (auto* feed = static_cast<char*>(std::memchr(from, '\n', end - begin))) {
            size = static_cast<std::size_t>(feed - from);
            begin += size + 1;
            if (std::exchange(skipping, false))
                continue; // the tail of a line too long to keep
            line = from;
            return true;
        }
        if (atEnd) {
            if (begin == end || skipping)
                return false;
            line = from;
            size = end - begin;
            begin = end;
            return true;
        }
        if (end - begin > kMaxLine) {
            skipping = true;
            begin = end = 0;
        } else if (begin > 0) {
            std::memmove(buffer.get(), from, end - begin);
            end -= begin;
            begin = 0;
        }
        // At the bound the unfinished line is dropped with the rest: it is not a whole line.
        if (total >= kMaxTableBytes)
            return false;
        const std::size_t room = static_cast<std::size_t>(
            std::min<std::uint64_t>(kBufferSize - end, kMaxTableBytes - total));
        const ssize_t got = readSome(fd.get(), buffer.get() + end, room);
        if (got <= 0) {
            atEnd = true;
            continue;
        }
        end += static_cast<std::size_t>(got);
        total += static_cast<std::uint64_t>(got);
    }
}

MountTableReader::MountTableReader(const std::string& tablePath) : state_(new State) {
    // Close-on-exec, so a tool started by another thread meanwhile never inherits it;
    // non-blocking, so a FIFO in the table's place cannot hold the caller.
    state_->fd.reset(::open(tablePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

MountTableReader::~MountTableReader() = default;

bool MountTableReader::isOpen() const {
    return bool(state_->fd);
}

bool MountTableReader::next(MountEntryView& entry) {
    if (!state_->fd)
        return false;
    char* line;
    std::size_t size;
    while (state_->nextLine(line, size)) {
        char* const end = line + size;
        // No kernel writes a NUL; a line holding one is no entry.
        if (std::memchr(line, '\0', size))
            continue;
        char* rest = line;
        std::size_t sourceSize, mountPointSize, typeSize, optionsSize;
        char* source = nextField(rest, end, sourceSize);
        // Blank lines and comments are no entries either.
        if (sourceSize == 0 || *source == '#')
            continue;
        char* mountPoint = nextField(rest, end, mountPointSize);
        char* type = nextField(rest, end, typeSize);
        char* options = nextField(rest, end, optionsSize);
        entry.source = decode(source, sourceSize);
        entry.mountPoint = decode(mountPoint, mountPointSize);
        entry.type = decode(type, typeSize);
        entry.options = decode(options, optionsSize);
        return true;
    }
    return false;
}

std::vector<MountedFileSystem> readMountTable(const std::string& tablePath) {
    std::vector<MountedFileSystem> entries;
    MountTableReader reader(tablePath);
    MountEntryView entry;
    while (reader.next(entry))
        entries.push_back({std::string(entry.source), std::string(entry.mountPoint),
                           std::string(entry.type), std::string(entry.options)});
    return entries;
}

std::vector<MountedFileSystem> mountedFileSystems() {
    return readMountTable(systemPaths().mountTable);
}

} // namespace kx
