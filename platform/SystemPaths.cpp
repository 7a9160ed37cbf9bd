#include "platform/linux/StandInDirectory.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <mutex>

namespace kx {
namespace {

std::mutex& tableMutex() {
    static std::mutex mutex;
    return mutex;
}

SystemPaths& table() {
    static SystemPaths paths = defaultSystemPaths();
    return paths;
}

} // namespace

SystemPaths defaultSystemPaths() {
#if defined(__APPLE__)
    return SystemPaths{
        "/usr/sbin/periodic",
        "/usr/sbin/diskutil",
        "/usr/bin/sw_vers",
        "/usr/bin/tmutil",
        "/usr/bin/sqlite3",
        "/Library/Application Support/com.apple.TCC/TCC.db",
        "/tmp",
        "",
        "",
    };
#else
    const std::string standIns = standInDirectory();
    return SystemPaths{
        standIns + "/periodic",
        standIns + "/diskutil",
        standIns + "/sw_vers",
        "/usr/bin/tmutil", // no Linux counterpart: its queries answer no value
        "/usr/bin/sqlite3",
        "/Library/Application Support/com.apple.TCC/TCC.db",
        "/tmp",
        "/proc/self/mounts",
        "",
    };
#endif
}

SystemPaths systemPaths() {
    std::lock_guard lock(tableMutex());
    return table();
}

void setSystemPaths(SystemPaths paths) {
    std::lock_guard lock(tableMutex());
    table() = std::move(paths);
}

} // namespace kx
