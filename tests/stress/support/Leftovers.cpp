#include "stress/support/FakeSystem.h"

#include <cerrno>
#include <dirent.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace vztest {

std::set<std::string> leftovers(const std::string& folder) {
    std::set<std::string> found;
    if (DIR* listing = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name == "." || name == ".." || std::stoi(name) == dirfd(listing))
                continue;
            char target[4096];
            const ssize_t length =
                readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target);
            const std::string text(target, length > 0 ? static_cast<std::size_t>(length) : 0);
            // The store keeps the file it last read open, to know it again, and that moves with
            // the store in force.
            if (text.find("defaults.plist") == std::string::npos)
                found.insert("descriptor " + name + " -> " + text);
        }
        closedir(listing);
    }
    std::error_code error;
    if (!folder.empty())
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error))
            found.insert("file " + entry.path().string());
    return found;
}

bool hasUnreapedChild() {
    siginfo_t info{};
    // WNOWAIT only looks; ECHILD means no child at all, running or not.
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 || errno != ECHILD;
}

} // namespace vztest
