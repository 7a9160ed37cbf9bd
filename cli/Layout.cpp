#include "cli/Layout.h"

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace vivozi {
namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool runsFromBuildTree() {
    return startsWith(executablePath(), std::string(VIVOZI_BUILD_DIR) + "/");
}

// A path named relative to the program's folder, as installed.
fs::path besideExecutable(const char* relative) {
    return fs::path(executablePath()).parent_path() / relative;
}

bool present(const fs::path& path) {
    std::error_code ignored;
    return fs::exists(path, ignored);
}

} // namespace

std::string executablePath() {
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

std::optional<std::string> sampleSetsFolder() {
    const fs::path folder = runsFromBuildTree() ? fs::path(VIVOZI_SOURCE_SAMPLES)
                                                : besideExecutable(VIVOZI_BIN_TO_SAMPLES);
    if (!present(folder))
        return std::nullopt;
    return folder.lexically_normal().string();
}

std::optional<std::string> defaultDemoFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/')
        return std::string(state) + "/vivozi-demo";
    // A relative or empty HOME names no home (as XDG_STATE_HOME above); the account's own then.
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable && *variable == '/') {
        home = variable;
    } else {
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
            found->pw_dir && found->pw_dir[0] == '/')
            home = found->pw_dir;
    }
    if (home.empty())
        return std::nullopt;
    return home + "/.local/state/vivozi-demo";
}

} // namespace vivozi
