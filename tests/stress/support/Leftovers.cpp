#include "stress/support/Leftovers.h"

#include <cerrno>
#include <dirent.h>
#include <filesystem>
#include <ostream>
#include <sys/wait.h>
#include <unistd.h>

namespace vztest {

Leftovers::Leftovers(const std::string& folder) {
    if (DIR* listing = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            // Not the listing's own descriptor, nor the defaults store's: the store keeps the
            // file it last read open, to know it again, and that moves with the store in force.
            if (name == "." || name == ".." || std::stoi(name) == dirfd(listing))
                continue;
            char target[4096];
            const ssize_t length =
                readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target);
            const std::string text(target, length > 0 ? static_cast<std::size_t>(length) : 0);
            if (text.find("defaults.plist") == std::string::npos)
                descriptors.insert(name + " -> " + text);
        }
        closedir(listing);
    }
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error))
        files.insert(entry.path().string());
}

std::ostream& operator<<(std::ostream& out, const Leftovers& leftovers) {
    out << "descriptors:";
    for (const auto& fd : leftovers.descriptors)
        out << "\n  " << fd;
    out << "\nfiles:";
    for (const auto& file : leftovers.files)
        out << "\n  " << file;
    return out;
}

bool hasUnreapedChild() {
    siginfo_t info{};
    // WNOWAIT: only looks. ECHILD means there is no child at all, running or not.
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 || errno != ECHILD;
}

} // namespace vztest
