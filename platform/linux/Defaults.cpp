// Only Linux code lives under platform/linux/: here, the defaults store's place by the XDG rules
// and the kernel's random bytes.
#include "platform/defaults/DefaultsSystem.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/random.h>
#include <unistd.h>
#include <vector>

namespace kx {
namespace {

std::string homeFolder() {
    // A relative HOME names no home: the account's own then, never one under the working folder.
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir && found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

} // namespace

std::string conventionalStorePath() {
    std::string base;
    // The XDG rules ignore a relative XDG_CONFIG_HOME.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        base = config;
    else if (std::string home = homeFolder(); !home.empty())
        base = home + "/.config";
    else
        return {};
    std::string program = program_invocation_short_name;
    if (program.empty() || program == "." || program == "..")
        program = "unnamed";
    return base + "/" + program + "/defaults.plist";
}

bool randomBytes(unsigned char* buffer, std::size_t size) {
    return ::getrandom(buffer, size, 0) == static_cast<ssize_t>(size);
}

} // namespace kx
