#pragma once

// Memory for a tool's long output, one implementation per system
// (platform/linux/OutputMemory.cpp). Each block starts on a huge-page boundary, so that every
// huge page of it can be one page where the system has them.

#include <cstddef>

namespace kx {

// The size of a huge page, which every block's size is a multiple of.
inline constexpr std::size_t kOutputPage = std::size_t{2} << 20;

// A fresh zeroed block of bytes (a multiple of kOutputPage); nullptr when memory runs out.
char* mapOutputMemory(std::size_t bytes);

// A block of newCapacity bytes holding the first size bytes of data, a block of capacity bytes
// that it replaces (data is gone afterwards); nullptr, with data untouched, when memory runs out.
char* growOutputMemory(char* data, std::size_t size, std::size_t capacity, std::size_t newCapacity);

void unmapOutputMemory(char* data, std::size_t capacity);

// Faults in the pages of [from, from + bytes) for writing, ahead of the read that fills them.
void faultInOutputMemory(char* from, std::size_t bytes);

} // namespace kx
