#include "journal/JournalFiles.h"

#include "platform/files/Descriptor.h"

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace kx::journal {
namespace {

constexpr char kRootJournal[] = "/var/lib/VivoziZevidodirid/journal.sqlite";
constexpr char kUserJournal[] = "/.local/state/VivoziZevidodirid/journal.sqlite";
// A pid and the newlines after it, as a run lock holds it.
constexpr std::size_t kPidWidth = 16;

std::string systemError(int number) {
    return std::strerror(number);
}

// Missing folders are made one at a time with mode 0700: script output may be private.
void makeFolders(const fs::path& folder) {
    fs::path partial;
    for (const fs::path& part : folder) {
        partial /= part;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return; // the checks that follow say what is wrong
    }
}

pid_t readPid(int fd) {
    char text[32] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    pid_t pid = 0;
    if (got > 0)
        std::from_chars(text, text + got, pid);
    return pid > 0 ? pid : 0;
}

} // namespace

std::string defaultJournalPath(uid_t uid, std::string_view home) {
    if (uid == 0)
        return kRootJournal;
    if (home.empty() || home.front() != '/')
        return {};
    while (home.size() > 1 && home.back() == '/')
        home.remove_suffix(1);
    return std::string(home == "/" ? "" : home) + kUserJournal;
}

std::string accountHome(uid_t uid) {
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return {};
}

std::optional<std::string> checkedJournalFile(const std::string& path, bool create,
                                              std::string& why, int& errorNumber) {
    const auto refuse = [&](int number, std::string text) -> std::optional<std::string> {
        errorNumber = number;
        why = std::move(text);
        return std::nullopt;
    };
    if (path.empty())
        return refuse(ENOENT, "no journal location: the account has no home");
    const fs::path file(path);
    if (!file.is_absolute() || !file.has_filename())
        return refuse(EINVAL, "journal location is not an absolute file path: " + path);
    const fs::path folder = file.parent_path();
    if (create)
        makeFolders(folder);
    // The folder's own links are resolved here, once it is known that only its owner can
    // change what is inside it; the file then opens without following any link.
    char* resolved = ::realpath(folder.c_str(), nullptr);
    if (!resolved)
        return refuse(errno,
                      "cannot reach journal folder " + folder.native() + ": " + systemError(errno));
    const std::string real = resolved;
    std::free(resolved);
    struct stat info {};
    if (::lstat(real.c_str(), &info) != 0)
        return refuse(errno, "cannot reach journal folder " + real + ": " + systemError(errno));
    if (!S_ISDIR(info.st_mode))
        return refuse(ENOTDIR, "journal folder is not a folder: " + real);
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        return refuse(EPERM, "journal folder belongs to another account: " + real);
    if (info.st_mode & (S_IWGRP | S_IWOTH))
        return refuse(EPERM, "journal folder may be written by others: " + real);
    const std::string checked = (real == "/" ? "" : real) + "/" + file.filename().native();
    if (::lstat(checked.c_str(), &info) != 0) {
        if (errno == ENOENT && create)
            return checked;
        return refuse(errno, "cannot open journal " + checked + ": " + systemError(errno));
    }
    if (S_ISLNK(info.st_mode))
        return refuse(ELOOP, "journal is a link: " + checked);
    if (!S_ISREG(info.st_mode))
        return refuse(EINVAL, "journal is not a regular file: " + checked);
    if (info.st_uid != ::geteuid())
        return refuse(EPERM, "journal belongs to another account: " + checked);
    return checked;
}

std::string runLockPath(const std::string& journalFile, std::string_view set) {
    return journalFile + "." + std::string(set) + ".lock";
}

bool runStillUnderWay(const std::string& journalFile, std::string_view set, pid_t pid) {
    const FileDescriptor fd(
        ::open(runLockPath(journalFile, set).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd) {
        // Asking does not take the lock: a probe never makes a starting run look busy.
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        if (::fcntl(fd.get(), F_OFD_GETLK, &probe) == 0)
            return probe.l_type != F_UNLCK && readPid(fd.get()) == pid;
    }
    // No lock to ask: the run went without one, so only its pid can tell.
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

RunLock::RunLock(const std::string& journalFile, std::string_view set) {
    if (journalFile.empty())
        return;
    fd_.reset(::open(runLockPath(journalFile, set).c_str(),
                     O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    struct stat info {};
    if (fd_ &&
        (::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()))
        fd_.reset();
    if (!fd_)
        return;
    // An open-file-description lock: it goes with our descriptor (close-on-exec, so never
    // with a script) and, unlike flock, can be asked about without being taken.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd_.get(), F_OFD_SETLK, &whole) == 0) {
        state_ = State::Held;
        // Should this fail, readers take the run for a stale one; running it matters more.
        // Written over the last holder's pid at a fixed width rather than after emptying the
        // file: one write, no change of size for the file system to log.
        std::string pid = std::to_string(::getpid());
        pid.resize(kPidWidth, '\n');
        if (::pwrite(fd_.get(), pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size()) &&
            info.st_size > static_cast<off_t>(kPidWidth)) {
            [[maybe_unused]] const int ignored = ::ftruncate(fd_.get(), kPidWidth);
        }
        return;
    }
    if (errno == EAGAIN || errno == EACCES) {
        state_ = State::Busy;
        holder_ = readPid(fd_.get());
    }
    fd_.reset();
}

} // namespace kx::journal
