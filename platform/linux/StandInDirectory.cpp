// Only Linux code lives under platform/linux/: here, where the stand-ins for the system tools lie.
#include "platform/linux/StandInDirectory.h"

#include <climits>
#include <dlfcn.h>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {
namespace {

// The file this code was loaded from: the shared library, or the program it is linked into.
std::string loadedFrom() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&standInDirectory), &info) != 0 && info.dli_fname &&
        info.dli_fname[0] == '/')
        return info.dli_fname;
    // The main program is reported by the name it was started with, which may be relative.
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

std::string standInDirectory() {
    const std::string loaded = loadedFrom();
    if (!loaded.empty()) {
        // Where an install put them beside the library, whatever its prefix, or wherever the
        // installed tree was moved.
        const std::string beside = (std::filesystem::path(loaded).parent_path() / VZ_LIB_TO_LIBEXEC)
                                       .lexically_normal()
                                       .string();
        if (isDirectory(beside))
            return beside;
    }
    const std::string_view buildDir = VZ_BUILD_DIR "/";
    if (std::string_view(loaded).substr(0, buildDir.size()) == buildDir)
        return VZ_LIBEXEC_BUILD_DIR;
    return VZ_LIBEXEC_INSTALL_DIR;
}

} // namespace kx
