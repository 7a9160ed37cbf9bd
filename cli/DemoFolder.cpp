#include "cli/DemoFolder.h"

#include "cli/Commands.h"
#include "cli/Layout.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vivozi {
namespace {

constexpr char kMarkText[] = "This folder is where vivozi's sample maintenance sets work.\n"
                             "They change and delete files here; keep nothing of your own in it.\n";

bool isEmptyFolder(const std::string& folder) {
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(opendir(folder.c_str()), closedir);
    if (!listing)
        return false;
    while (const dirent* entry = readdir(listing.get()))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            return false;
    return true;
}

bool writeMark(const std::string& folder) {
    const std::string mark = folder + "/" + kDemoMark;
    const int fd = open(mark.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool written =
        write(fd, kMarkText, sizeof kMarkText - 1) == static_cast<ssize_t>(sizeof kMarkText - 1);
    return close(fd) == 0 && written;
}

bool hasMark(const std::string& folder) {
    struct stat status {};
    return lstat((folder + "/" + kDemoMark).c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           status.st_uid == geteuid();
}

// Makes or marks the folder where it may; answers why it cannot be the demo's, or nullopt.
std::optional<std::string> whyNotReady(const std::string& folder) {
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0) {
        if (errno != ENOENT)
            return std::strerror(errno);
        std::error_code error;
        fs::create_directories(fs::path(folder).parent_path(), error);
        if (error)
            return error.message();
        if ((mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) ||
            lstat(folder.c_str(), &status) != 0)
            return std::strerror(errno);
    }
    if (S_ISLNK(status.st_mode))
        return "it is a link";
    if (!S_ISDIR(status.st_mode))
        return "it is not a folder";
    if (status.st_uid != geteuid())
        return "it belongs to another user";
    if (status.st_mode & (S_IWGRP | S_IWOTH))
        return "others may write to it";
    if (hasMark(folder))
        return std::nullopt;
    if (!isEmptyFolder(folder))
        return std::string("it holds files and no ") + kDemoMark +
               " mark (name a new or empty folder)";
    if (!writeMark(folder))
        return std::string("cannot write its mark: ") + std::strerror(errno);
    return std::nullopt;
}

} // namespace

std::string prepareDemoFolder(const std::optional<std::string>& requested) {
    const std::optional<std::string> chosen = requested ? requested : defaultDemoFolder();
    const std::string folder = chosen ? fs::absolute(*chosen).lexically_normal().string() : "";
    const std::optional<std::string> why =
        chosen ? whyNotReady(folder) : "no home folder to put it in (name one with --demo-dir)";
    if (!why)
        return folder;
    const std::string what = "cannot use " + (requested ? *requested : "the demo folder") +
                             " for the sample sets: " + *why;
    if (requested)
        throw UsageError(what);
    throw std::runtime_error(what);
}

} // namespace vivozi
