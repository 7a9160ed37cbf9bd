#pragma once

#include <unistd.h>
#include <utility>

namespace kx {

// An open file descriptor that is closed when its owner dies: whoever holds one owns the
// descriptor, and handing it on is a move. -1 (invalid) when empty.
class FileDescriptor {
public:
    FileDescriptor() noexcept = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    // Gives the descriptor up without closing it; the caller owns it from then on.
    [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

    // Closes the descriptor held, if any, and takes fd in its place. The close is not retried on
    // EINTR: Linux has released the descriptor by then, and a retry could close another thread's.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0 && fd_ != fd)
            ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

} // namespace kx
