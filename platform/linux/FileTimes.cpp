// Only Linux code lives under platform/linux/: here, the time fields of Linux's stat record.
#include "platform/files/FileTimes.h"

namespace kx {

timespec modificationTime(const struct stat& info) {
    return info.st_mtim;
}

} // namespace kx
