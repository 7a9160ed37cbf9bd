#include "platform/files/PrivateTemporaryFile.h"

#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace kx {

std::optional<PrivateTemporaryFile> PrivateTemporaryFile::create(const std::string& directory,
                                                                 std::string_view prefix) {
    if (directory.find('\0') != std::string::npos || prefix.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::string path = directory + "/" + std::string(prefix) + "XXXXXX";
    // mkostemp opens with O_CREAT | O_EXCL and mode 0600: a planted file or link at the name
    // makes it pick another name instead of writing through it.
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    return PrivateTemporaryFile(fd, std::move(path));
}

PrivateTemporaryFile::PrivateTemporaryFile(PrivateTemporaryFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

PrivateTemporaryFile::~PrivateTemporaryFile() {
    if (fd_ < 0)
        return;
    unlink(path_.c_str());
    close(fd_);
}

std::size_t PrivateTemporaryFile::size() const {
    struct stat info {};
    if (fstat(fd_, &info) != 0 || info.st_size < 0)
        return 0;
    return static_cast<std::size_t>(info.st_size);
}

std::optional<std::string> PrivateTemporaryFile::contents() const {
    std::string text;
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t got = pread(fd_, buffer, sizeof buffer, offset);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(got));
        offset += got;
    }
}

} // namespace kx
