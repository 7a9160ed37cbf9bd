#include "platform/SystemPathTable.h"
#include "platform/linux/StandInDirectory.h"
#include "platform/linux/VersionSources.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <atomic>
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

std::atomic<std::uint64_t> generation{0};

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
        {"/System/Library/CoreServices/SystemVersion.plist"},
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
        {kOsReleasePaths[0], kOsReleasePaths[1], kDebianVersionPath},
    };
#endif
}

SystemPaths systemPaths() {
    std::lock_guard lock(tableMutex());
    return table();
}

std::string systemPath(std::string SystemPaths::*entry) {
    std::lock_guard lock(tableMutex());
    return table().*entry;
}

void setSystemPaths(SystemPaths paths) {
    std::lock_guard lock(tableMutex());
    table() = std::move(paths);
    generation.fetch_add(1, std::memory_order_release);
}

std::uint64_t systemPathsGeneration() {
    return generation.load(std::memory_order_acquire);
}

} // namespace kx
