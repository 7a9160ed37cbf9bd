#include "platform/files/PrivateTemporaryFile.h"

#include "platform/files/Descriptor.h"

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
    FileDescriptor fd(mkostemp(path.data(), O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    return PrivateTemporaryFile(std::move(fd), std::move(path));
}

PrivateTemporaryFile::~PrivateTemporaryFile() {
    // A moved-from object owns no file.
    if (fd_)
        unlink(path_.c_str());
}

std::size_t PrivateTemporaryFile::size() const {
    struct stat info {};
    if (fstat(fd_.get(), &info) != 0 || info.st_size < 0)
        return 0;
    return static_cast<std::size_t>(info.st_size);
}

std::optional<std::string> PrivateTemporaryFile::contents() const {
    std::string text;
    if (!readAllAt(fd_.get(), 0, text))
        return std::nullopt;
    return text;
}

} // namespace kx
