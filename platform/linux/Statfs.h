// Only Linux code lives under platform/linux/: here, a file system's size from statfs(2).
#pragma once

#include "platform/mounts/FileSystemStatistics.h"

#include <sys/vfs.h>

namespace kx {

// What the library reads of a Linux statfs record.
FileSystemStatistics statisticsFromRecord(const struct statfs& record);

} // namespace kx
