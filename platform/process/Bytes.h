#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kx {

// A block of bytes read from a descriptor. Large blocks live in memory of their own, backed by
// huge pages where the system has them: faulting in fresh 4 KiB pages one by one costs far more
// than the copy out of the pipe, and a tool's output is written once and then only read.
class Bytes {
public:
    Bytes() noexcept = default;
    explicit Bytes(std::string_view bytes);
    Bytes(const Bytes& other) : Bytes(other.view()) {}
    Bytes(Bytes&& other) noexcept { swap(other); }
    Bytes& operator=(Bytes other) noexcept {
        swap(other);
        return *this;
    }
    ~Bytes();

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const char* begin() const { return data_; }
    const char* end() const { return data_ + size_; }
    std::string_view view() const { return {data_, size_}; }
    operator std::string_view() const { return view(); }
    std::string str() const { return std::string(view()); }

    friend bool operator==(const Bytes& a, std::string_view b) { return a.view() == b; }

    void swap(Bytes& other) noexcept;

private:
    friend class ByteSink;
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    bool mapped_ = false; // from mapOutputMemory rather than malloc
};

// Reads fd to end of file. A pipe that carries long output is widened, so that its writer is
// woken less often. Stops at a read error, keeping what came before. Past limit bytes, or when
// memory runs out, it stops at once and returns no bytes with complete false: a writer that may
// never be done is the caller's to stop.
Bytes readToEnd(int fd, std::size_t limit, bool& complete);

} // namespace kx
