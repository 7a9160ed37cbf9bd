#include "platform/process/Bytes.h"

#include "platform/files/Descriptor.h"
#include "platform/process/OutputMemory.h"
#include "platform/process/ProcessSystem.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace kx {

namespace {

// Output up to this size stays on the malloc heap, whose pages are already warm.
constexpr std::size_t kHeapLimit = std::size_t{64} << 10;
// A wide pipe pays off only for long output: for short output, the writer's filling 256 fresh
// pipe pages costs more than the wake-ups it saves.
constexpr std::size_t kWidenAfter = std::size_t{1} << 20;

void release(char* data, std::size_t capacity, bool mapped) {
    if (mapped)
        unmapOutputMemory(data, capacity);
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
        const std::size_t capacity = b.mapped_ ? b.capacity_ * 2 : 2 * kOutputPage;
        char* grown = b.mapped_ ? growOutputMemory(b.data_, b.size_, b.capacity_, capacity)
                                : mapOutputMemory(capacity);
        if (!grown)
            return false;
        if (!b.mapped_) {
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
        const std::size_t want = std::min(b.capacity_, b.size_ + kOutputPage);
        if (faulted_ < want) {
            faultInOutputMemory(b.data_ + faulted_, want - faulted_);
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

Bytes readToEnd(int fd, std::size_t limit, bool& complete) {
    complete = false;
    Bytes bytes;
    ByteSink sink(bytes);
    bool widened = false;
    for (;;) {
        if (!widened && bytes.size() >= kWidenAfter) {
            widenPipe(fd);
            widened = true;
        }
        if (sink.room() == 0 && !sink.reserveMore())
            return Bytes();
        // One byte past the limit is enough to know the output is too long.
        const std::size_t ready = sink.readyRoom();
        const std::size_t left = limit - bytes.size();
        const ssize_t got = readSome(fd, sink.space(), left < ready ? left + 1 : ready);
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

} // namespace kx
