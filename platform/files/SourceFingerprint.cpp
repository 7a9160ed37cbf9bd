#include "platform/files/SourceFingerprint.h"

#include "platform/SystemPathTable.h"
#include "platform/files/FileTimes.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <cstdint>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <time.h>

namespace kx {
namespace {

// The coarse clock is read without entering the kernel; its few milliseconds of granularity
// are nothing beside the interval.
std::int64_t monotonicNanoseconds() {
#if defined(CLOCK_MONOTONIC_COARSE)
    constexpr clockid_t clock = CLOCK_MONOTONIC_COARSE;
#else
    constexpr clockid_t clock = CLOCK_MONOTONIC;
#endif
    timespec now{};
    clock_gettime(clock, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// A release only changes with a new boot, and so with a new process.
const std::string& kernelRelease() {
    static const std::string release = [] {
        utsname system{};
        return uname(&system) == 0 ? std::string(system.release) : std::string();
    }();
    return release;
}

std::string look() {
    std::string text = "kernel " + kernelRelease() + "\n";
    for (const std::string& source : systemPaths().versionSources) {
        text += source;
        struct stat info {};
        // Followed through links, as the tool reads them.
        if (::stat(source.c_str(), &info) != 0) {
            text += " -\n";
            continue;
        }
        const timespec modified = modificationTime(info);
        text += " " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) + " " +
                std::to_string(info.st_size) + " " + std::to_string(modified.tv_sec) + "." +
                std::to_string(modified.tv_nsec) + "\n";
    }
    return text;
}

} // namespace

const std::string& versionSourceFingerprint() {
    // Per thread, so that the usual call takes no lock.
    thread_local std::string lastLook;
    thread_local std::uint64_t lastLookGeneration = 0;
    thread_local std::int64_t lastLookTime = 0;
    const std::uint64_t generation = systemPathsGeneration();
    const std::int64_t now = monotonicNanoseconds();
    if (lastLook.empty() || lastLookGeneration != generation ||
        now - lastLookTime >= std::chrono::nanoseconds(kVersionSourcesRecheck).count()) {
        lastLook = look();
        lastLookGeneration = generation;
        lastLookTime = now;
    }
    return lastLook;
}

} // namespace kx
