#pragma once

// What the defaults store needs of the system beyond POSIX, one implementation per system
// (platform/linux/Defaults.cpp).

#include <cstddef>
#include <string>

namespace kx {

// Where the running program keeps its store by the system's conventions, for when the path
// table names none; "" when there is no such place (no home folder).
std::string conventionalStorePath();

// Fills buffer with size random bytes; false when the system gives none.
bool randomBytes(unsigned char* buffer, std::size_t size);

} // namespace kx
