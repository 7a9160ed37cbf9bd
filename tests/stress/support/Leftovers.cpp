#include "stress/support/FakeSystem.h"

#include <filesystem>

namespace vztest {

std::set<std::string> leftovers(const std::string& folder) {
    std::set<std::string> found;
    std::error_code error;
    // Listed first: the iterator's own descriptor is closed again before readlink.
    const std::vector<std::filesystem::path> descriptors(
        std::filesystem::directory_iterator("/proc/self/fd", error), {});
    for (const auto& path : descriptors) {
        const std::string target = std::filesystem::read_symlink(path, error).string();
        // The store keeps the file it last read open, to know it again.
        if (!error && target.find("defaults.plist") == std::string::npos)
            found.insert("descriptor " + path.filename().string() + " -> " + target);
    }
    if (!folder.empty())
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error))
            found.insert("file " + entry.path().string());
    return found;
}

} // namespace vztest
