#include "platform/process/Bytes.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace kx {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Output up to this size stays on the malloc heap, whose pages are already warm.
constexpr std::size_t kHeapLimit = std::size_t{64} << 10;
// As much as an unprivileged process may give a pipe by default (/proc/sys/fs/pipe-max-size).
constexpr int kPipeSize = 1 << 20;
// A wide pipe pays off only for long output: for short output, the writer's filling 256 fresh
// pipe pages costs more than the wake-ups it saves.
constexpr std::size_t kWidenAfter = std::size_t{1} << 20;

// Anonymous memory whose start is huge-page aligned, so that every 2 MiB of it can be one page.
char* mapAligned(std::size_t bytes) {
    const std::size_t span = bytes + kHugePage;
    void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    const std::size_t head = aligned - start;
    if (head)
        ::munmap(raw, head);
    if (span - head > bytes)
        ::munmap(reinterpret_cast<char*>(aligned) + bytes, span - head - bytes);
    char* memory = reinterpret_cast<char*>(aligned);
    ::madvise(memory, bytes, MADV_HUGEPAGE);
    return memory;
}

void release(char* data, std::size_t capacity, bool mapped) {
    if (mapped)
        ::munmap(data, capacity);
    else
        std::free(data);
}

} // namespace

Bytes::Bytes(std::string_view bytes) {
    if (bytes.empty())
        return;
    data_ = static_cast<char*>(std::malloc(bytes.size()));
    if (!data_)
        throw std::bad_alloc();
    std::memcpy(data_, bytes.data(), bytes.size());
    size_ = capacity_ = bytes.size();
}

Bytes::~Bytes() {
    release(data_, capacity_, mapped_);
}

void Bytes::swap(Bytes& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    std::swap(mapped_, other.mapped_);
}

// Grows a Bytes while it is read into; false when memory runs out.
class ByteSink {
public:
    explicit ByteSink(Bytes& bytes) : bytes_(bytes) {}

    bool reserveMore() {
        Bytes& b = bytes_;
        if (!b.data_) {
            b.data_ = static_cast<char*>(std::malloc(kHeapLimit));
            b.capacity_ = b.data_ ? kHeapLimit : 0;
            return b.data_ != nullptr;
        }
        const std::size_t capacity = b.mapped_ ? b.capacity_ * 2 : 2 * kHugePage;
        char* grown = mapAligned(capacity);
        if (!grown)
            return false;
        if (b.mapped_) {
            // Moves the page tables, huge pages included, rather than copying the bytes.
            if (::mremap(b.data_, b.capacity_, b.capacity_, MREMAP_MAYMOVE | MREMAP_FIXED, grown) ==
                MAP_FAILED) {
                std::memcpy(grown, b.data_, b.size_);
                ::munmap(b.data_, b.capacity_);
            }
        } else {
            std::memcpy(grown, b.data_, b.size_);
            std::free(b.data_);
        }
        b.data_ = grown;
        b.capacity_ = capacity;
        b.mapped_ = true;
        return true;
    }

    char* space() { return bytes_.data_ + bytes_.size_; }
    std::size_t room() const { return bytes_.capacity_ - bytes_.size_; }

    // Room that is already faulted in, at least the next huge page of it. A fault taken inside
    // read() zeroes its page while holding the pipe's lock, stalling the writer; taken here, it
    // overlaps the writer filling the pipe.
    std::size_t readyRoom() {
        Bytes& b = bytes_;
        if (!b.mapped_)
            return room();
        if (faulted_ < b.size_)
            faulted_ = b.size_;
        const std::size_t want = std::min(b.capacity_, b.size_ + kHugePage);
        if (faulted_ < want) {
            char* from = b.data_ + faulted_;
            // Kernels before 5.14 lack MADV_POPULATE_WRITE; other failures are left to read().
            if (::madvise(from, want - faulted_, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
                for (char* page = from; page < b.data_ + want; page += 4096)
                    *static_cast<volatile char*>(page) = 0;
            }
            faulted_ = want;
        }
        return faulted_ - b.size_;
    }

    void commit(std::size_t count) { bytes_.size_ += count; }

    void shrinkToFit() {
        Bytes& b = bytes_;
        if (b.mapped_ || !b.data_)
            return;
        if (b.size_ == 0) {
            std::free(b.data_);
            b.data_ = nullptr;
            b.capacity_ = 0;
        } else if (char* smaller = static_cast<char*>(std::realloc(b.data_, b.size_))) {
            b.data_ = smaller;
            b.capacity_ = b.size_;
        }
    }

private:
    Bytes& bytes_;
    std::size_t faulted_ = 0; // bytes of a mapping known to be faulted in
};

namespace {

ssize_t readRetrying(int fd, char* buffer, std::size_t count) {
    ssize_t got;
    do {
        got = ::read(fd, buffer, count);
    } while (got < 0 && errno == EINTR);
    return got;
}

void drain(int fd) {
    char scratch[16384];
    while (readRetrying(fd, scratch, sizeof scratch) > 0) {
    }
}

} // namespace

Bytes readToEnd(int fd, std::size_t limit, bool& complete) {
    complete = false;
    Bytes bytes;
    ByteSink sink(bytes);
    bool widened = false;
    for (;;) {
        if (!widened && bytes.size() >= kWidenAfter) {
            // Fails harmlessly on anything but a pipe, or past the user's pipe quota.
            ::fcntl(fd, F_SETPIPE_SZ, kPipeSize);
            widened = true;
        }
        if (sink.room() == 0 && !sink.reserveMore())
            return Bytes();
        // One byte past the limit is enough to know the output is too long.
        const std::size_t ready = sink.readyRoom();
        const std::size_t left = limit - bytes.size();
        const ssize_t got = readRetrying(fd, sink.space(), left < ready ? left + 1 : ready);
        if (got <= 0)
            break;
        sink.commit(static_cast<std::size_t>(got));
        if (bytes.size() > limit)
            return Bytes();
    }
    sink.shrinkToFit();
    complete = true;
    return bytes;
}

Bytes readToEnd(int fd) {
    bool complete = false;
    Bytes bytes = readToEnd(fd, std::numeric_limits<std::size_t>::max(), complete);
    if (!complete)
        drain(fd);
    return bytes;
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

} // namespace kx
