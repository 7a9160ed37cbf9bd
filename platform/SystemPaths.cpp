#include "platform/SystemPathTable.h"

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
