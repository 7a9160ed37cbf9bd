#include "cli/DemoFolder.h"

#include "cli/Commands.h"
#include "cli/Layout.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <memory>
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

} // namespace

std::string prepareDemoFolder(const std::optional<std::string>& requested) {
    const auto refuse = [&](const std::string& why) -> std::string {
        const std::string what = "cannot use " +
                                 (requested ? *requested : std::string("the demo folder")) +
                                 " for the sample sets: " + why;
        if (requested)
            throw UsageError(what);
        throw std::runtime_error(what);
    };
    const std::optional<std::string> chosen = requested ? requested : defaultDemoFolder();
    if (!chosen)
        return refuse("no home folder to put it in (name one with --demo-dir)");
    const std::string folder = fs::absolute(*chosen).lexically_normal().string();

    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0) {
        if (errno != ENOENT)
            return refuse(std::strerror(errno));
        std::error_code error;
        fs::create_directories(fs::path(folder).parent_path(), error);
        if (error || (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST))
            return refuse(error ? error.message() : std::strerror(errno));
        if (lstat(folder.c_str(), &status) != 0)
            return refuse(std::strerror(errno));
    }
    if (S_ISLNK(status.st_mode))
        return refuse("it is a link");
    if (!S_ISDIR(status.st_mode))
        return refuse("it is not a folder");
    if (status.st_uid != geteuid())
        return refuse("it belongs to another user");
    if (status.st_mode & (S_IWGRP | S_IWOTH))
        return refuse("others may write to it");
    if (hasMark(folder))
        return folder;
    if (!isEmptyFolder(folder))
        return refuse(std::string("it holds files and no ") + kDemoMark +
                      " mark (name a new or empty folder)");
    if (!writeMark(folder))
        return refuse(std::string("cannot write its mark: ") + std::strerror(errno));
    return folder;
}

} // namespace vivozi
