#pragma once

#include <VivoziZevidodirid/FileDescriptor.h>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kx {

// A file only its owner can read, created exclusively under a fresh name (never through an
// existing file or link), and removed when the object dies.
class PrivateTemporaryFile {
public:
    // "<directory>/<prefix>XXXXXX"; nullopt when it cannot be created.
    static std::optional<PrivateTemporaryFile> create(const std::string& directory,
                                                      std::string_view prefix);

    PrivateTemporaryFile(PrivateTemporaryFile&& other) noexcept = default;
    PrivateTemporaryFile& operator=(PrivateTemporaryFile&&) = delete;
    PrivateTemporaryFile(const PrivateTemporaryFile&) = delete;
    ~PrivateTemporaryFile();

    const std::string& path() const { return path_; }
    // An open read-write descriptor on the file; valid while this object lives.
    int descriptor() const { return fd_.get(); }
    // Size of the file behind the descriptor (not the path, which others could replace).
    std::size_t size() const;
    // The whole content, read through the descriptor from its start; nullopt on a read error.
    std::optional<std::string> contents() const;

private:
    PrivateTemporaryFile(FileDescriptor fd, std::string path)
        : fd_(std::move(fd)), path_(std::move(path)) {}
    FileDescriptor fd_;
    std::string path_;
};

} // namespace kx
