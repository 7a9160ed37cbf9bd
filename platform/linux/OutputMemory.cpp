// Only Linux code lives under platform/linux/: here, transparent huge pages for a tool's output.
#include "platform/process/OutputMemory.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>

namespace kx {

char* mapOutputMemory(std::size_t bytes) {
    // Mapped one huge page larger than asked, then trimmed to an aligned start.
    const std::size_t span = bytes + kOutputPage;
    void* raw = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + kOutputPage - 1) & ~(kOutputPage - 1);
    const std::size_t head = aligned - start;
    if (head)
        ::munmap(raw, head);
    if (span - head > bytes)
        ::munmap(reinterpret_cast<char*>(aligned) + bytes, span - head - bytes);
    char* memory = reinterpret_cast<char*>(aligned);
    ::madvise(memory, bytes, MADV_HUGEPAGE);
    return memory;
}

char* growOutputMemory(char* data, std::size_t size, std::size_t capacity,
                       std::size_t newCapacity) {
    char* grown = mapOutputMemory(newCapacity);
    if (!grown)
        return nullptr;
    // Moves the page tables, huge pages included, rather than copying the bytes.
    if (::mremap(data, capacity, capacity, MREMAP_MAYMOVE | MREMAP_FIXED, grown) == MAP_FAILED) {
        std::memcpy(grown, data, size);
        ::munmap(data, capacity);
    }
    return grown;
}

void unmapOutputMemory(char* data, std::size_t capacity) {
    ::munmap(data, capacity);
}

void faultInOutputMemory(char* from, std::size_t bytes) {
    // Kernels before 5.14 lack MADV_POPULATE_WRITE; other failures are left to the read.
    if (::madvise(from, bytes, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
        for (char* page = from; page < from + bytes; page += 4096)
            *static_cast<volatile char*>(page) = 0;
    }
}

} // namespace kx
