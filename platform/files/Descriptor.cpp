#include "platform/files/Descriptor.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace kx {
namespace {

// Appends to bytes, straight into its storage, what readAt(buffer, count) hands out until end of
// file, an error, or limit bytes in all.
template <class Read> bool appendUntilEnd(std::string& bytes, std::size_t limit, Read readAt) {
    constexpr std::size_t kFirst = 4096;
    while (bytes.size() < limit) {
        const std::size_t had = bytes.size();
        // Reads into the room the string has, doubling it when full: a small file costs a page of
        // zeroes, not the 64 KiB a fixed chunk cleared on every call.
        if (bytes.capacity() - had < kFirst / 2)
            bytes.reserve(std::max(had + kFirst, bytes.capacity() * 2));
        const std::size_t want = std::min(bytes.capacity() - had, limit - had);
        bytes.resize(had + want);
        ssize_t got;
        do {
            got = readAt(bytes.data() + had, want);
        } while (got < 0 && errno == EINTR);
        bytes.resize(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (got <= 0)
            return got == 0;
    }
    return true;
}

} // namespace

ssize_t readSome(int fd, char* buffer, std::size_t count) {
    ssize_t got;
    do {
        got = ::read(fd, buffer, count);
    } while (got < 0 && errno == EINTR);
    return got;
}

bool readAll(int fd, std::string& bytes, std::size_t limit) {
    return appendUntilEnd(
        bytes, limit, [fd](char* buffer, std::size_t count) { return ::read(fd, buffer, count); });
}

bool readAllAt(int fd, off_t offset, std::string& bytes) {
    return appendUntilEnd(bytes, std::string::npos, [&](char* buffer, std::size_t count) {
        const ssize_t got = ::pread(fd, buffer, count, offset);
        if (got > 0)
            offset += got;
        return got;
    });
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t put;
        do {
            put = ::write(fd, bytes.data(), bytes.size());
        } while (put < 0 && errno == EINTR);
        if (put <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

} // namespace kx
