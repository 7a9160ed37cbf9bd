#pragma once

// File times as the system's stat record holds them, one implementation per system
// (platform/linux/FileTimes.cpp).

#include <sys/stat.h>
#include <time.h>

namespace kx {

// When the file's content last changed, to the nanosecond where the file system keeps it.
timespec modificationTime(const struct stat& info);

} // namespace kx
