#include "platform/defaults/UserDefaults.h"

#include "platform/SystemPathTable.h"
#include "platform/defaults/DefaultsSystem.h"
#include "platform/files/Descriptor.h"
#include "platform/files/FileTimes.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kx {
namespace {

// What tells one version of the store file from another without reading it.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t mtimeSeconds = 0;
    long mtimeNanoseconds = 0;
    off_t size = 0;
    friend bool operator==(const Identity&, const Identity&) = default;
};

Identity identityOf(const struct stat& info) {
    const timespec modified = modificationTime(info);
    return Identity{true,
                    info.st_dev,
                    info.st_ino,
                    static_cast<std::int64_t>(modified.tv_sec),
                    modified.tv_nsec,
                    info.st_size};
}

std::atomic<std::uint64_t> parses{0};
std::atomic<void (*)(const std::string&)> beforeRename{nullptr};

// Time stamps of local file systems come from a clock that ticks every few milliseconds, so a
// second change within one tick may leave the time stamp as it was. A file whose time stamp is
// this close to (or after) the moment it was read is read again until it is older than that.
constexpr std::int64_t kRacyWindowNanoseconds = 50'000'000;

std::int64_t nanoseconds(std::int64_t seconds, long fraction) {
    // Stamps set far beyond the year 2262 saturate rather than overflow.
    constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max() / 1'000'000'000 - 1;
    return std::clamp(seconds, -limit, limit) * 1'000'000'000 + fraction;
}

std::int64_t now() {
    struct timespec time {};
    ::clock_gettime(CLOCK_REALTIME, &time);
    return nanoseconds(time.tv_sec, time.tv_nsec);
}

const std::shared_ptr<const PlistValue>& emptyRoot() {
    static const std::shared_ptr<const PlistValue> empty =
        std::make_shared<const PlistValue>(PlistValue::dictionary());
    return empty;
}

std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool ownedByUs(const struct stat& info) {
    return info.st_uid == ::geteuid();
}

bool ownFolder(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && ownedByUs(info);
}

// The folder at path, opened; missing ones are created (0700) when create is set, each only
// inside a folder of the effective user's. Links on the way are followed (a home may be reached
// through one); the last component is opened only when it is itself a folder.
FileDescriptor openFolder(const std::string& path, bool create, bool followLast = false) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (followLast ? 0 : O_NOFOLLOW);
    FileDescriptor fd(::open(path.c_str(), flags));
    if (fd || errno != ENOENT || !create || path == "/" || path == ".")
        return fd;
    const auto [parent, name] = splitPath(path);
    if (name.empty() || name == ".")
        return openFolder(parent, create, followLast);
    const FileDescriptor above = openFolder(parent, create, true);
    if (!above || !ownFolder(above.get()))
        return {};
    if (::mkdirat(above.get(), name.c_str(), 0700) != 0 && errno != EEXIST)
        return {};
    return FileDescriptor(::openat(above.get(), name.c_str(), flags));
}

// The store's folder, opened when it is a real folder of the effective user's: another
// account's folder, or one reached through a link in its place, is never read or written.
FileDescriptor openStoreFolder(const std::string& folder, bool create) {
    FileDescriptor fd = openFolder(folder, create);
    if (fd && !ownFolder(fd.get())) {
        fd.reset();
        errno = EPERM;
    }
    return fd;
}

bool lockExclusively(int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

// Renames a damaged store to a free "<store>.damaged-<UTC time>[-n]" beside it.
bool moveAside(int folder, const std::string& name) {
    const std::time_t seconds = std::time(nullptr);
    std::tm utc{};
    char stamp[32] = "unknown";
    if (::gmtime_r(&seconds, &utc))
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string base = name + ".damaged-" + stamp;
    struct stat info {};
    std::string aside = base;
    for (int n = 2; ::fstatat(folder, aside.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0; ++n)
        aside = base + "-" + std::to_string(n);
    return ::renameat(folder, name.c_str(), folder, aside.c_str()) == 0;
}

// A new file ".<store>.<6 random letters>" in folder, created exclusively so that nothing
// planted under a name it tries is ever opened; name receives its name.
FileDescriptor createTemporary(int folder, const std::string& store, std::string& name) {
    static constexpr std::string_view kLetters =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6];
        if (!randomBytes(random, sizeof random))
            continue;
        name = "." + store + ".";
        for (const unsigned char byte : random)
            name += kLetters[byte % kLetters.size()];
        FileDescriptor fd(::openat(folder, name.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (fd || errno != EEXIST)
            return fd;
    }
    return {};
}

} // namespace

struct UserDefaults::Entry {
    std::string path;
    Identity identity; // exists is false for a missing file
    std::int64_t readAt = 0;
    mode_t mode = 0;
    std::string bytes;
    std::shared_ptr<const PlistValue> root = emptyRoot();
    bool damaged = false;
    // Held open so that its inode number cannot be handed to a new file while this entry is
    // compared against it: a file put in its place always differs in identity.
    FileDescriptor pinned;

    bool racy() const {
        return identity.exists && nanoseconds(identity.mtimeSeconds, identity.mtimeNanoseconds) +
                                          kRacyWindowNanoseconds >=
                                      readAt;
    }
};

// Reads the store file; nullptr when it exists but cannot be read. The identity comes from the
// descriptor read, so a file replaced after the caller's stat is described as what was read.
// Bytes equal to those of previous reuse its parse.
std::shared_ptr<const UserDefaults::Entry>
UserDefaults::readEntry(const std::string& path, int folder,
                        const std::shared_ptr<const Entry>& previous) {
    auto entry = std::make_shared<Entry>();
    entry->path = path;
    entry->readAt = now();
    const auto [folderPath, name] = splitPath(path);
    FileDescriptor opened;
    if (folder < 0) {
        opened = openStoreFolder(folderPath, false);
        if (!opened)
            return (errno == ENOENT || errno == ENOTDIR) ? entry : nullptr;
        folder = opened.get();
    }
    // Non-blocking, so that a FIFO put in the store's place cannot hold the caller before its
    // type is seen; it changes nothing for a regular file.
    FileDescriptor fd(
        ::openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fd)
        return errno == ENOENT ? entry : nullptr;
    // Another account's file may say anything: it is never taken for this one's store.
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || !ownedByUs(info))
        return nullptr;
    entry->bytes.reserve(static_cast<std::size_t>(info.st_size));
    if (!readAll(fd.get(), entry->bytes))
        return nullptr;
    entry->identity = identityOf(info);
    entry->mode = info.st_mode & 07777;
    entry->pinned = std::move(fd);
    if (previous && previous->path == path && previous->identity.exists &&
        previous->bytes == entry->bytes) {
        entry->root = previous->root;
        entry->damaged = previous->damaged;
        return entry;
    }
    // A zero-length file holds nothing worth keeping aside: it is an empty store.
    if (entry->bytes.empty())
        return entry;
    parses.fetch_add(1, std::memory_order_relaxed);
    PlistValue root = PlistValue::parse(entry->bytes);
    if (root.isDictionary())
        entry->root = std::make_shared<const PlistValue>(std::move(root));
    else
        entry->damaged = true;
    return entry;
}

UserDefaults::UserDefaults() = default;
UserDefaults::~UserDefaults() = default;

UserDefaults& UserDefaults::standard() {
    static UserDefaults store;
    return store;
}

std::string UserDefaults::path() {
    std::string path = systemPath(&SystemPaths::userDefaults);
    if (path.empty())
        return conventionalStorePath();
    return path;
}

std::uint64_t UserDefaults::parseCount() {
    return parses.load(std::memory_order_relaxed);
}

std::shared_ptr<const UserDefaults::Entry> UserDefaults::entryFor(const std::string& path,
                                                                  int folder) {
    struct stat info {};
    const bool found = folder < 0 ? ::lstat(path.c_str(), &info) == 0
                                  : ::fstatat(folder, splitPath(path).second.c_str(), &info,
                                              AT_SYMLINK_NOFOLLOW) == 0;
    const Identity seen = found ? identityOf(info) : Identity{};
    std::shared_ptr<const Entry> previous;
    {
        std::lock_guard lock(mutex_);
        if (cache_ && cache_->path == path && cache_->identity == seen && !cache_->racy())
            return cache_;
        previous = cache_;
    }
    // Read outside the lock; a reader that installs an older file than another's is corrected
    // by the next read's stat.
    std::shared_ptr<const Entry> fresh = readEntry(path, folder, previous);
    if (fresh) {
        std::lock_guard lock(mutex_);
        cache_ = fresh;
    }
    return fresh;
}

UserDefaults::Snapshot UserDefaults::snapshot() {
    const std::string file = path();
    if (file.empty())
        return Snapshot(emptyRoot());
    const std::shared_ptr<const Entry> entry = entryFor(file);
    return Snapshot(entry ? entry->root : emptyRoot());
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) {
    return snapshot().stringForKey(key);
}

PlistValue UserDefaults::dictionaryForKey(std::string_view key) {
    return snapshot().dictionaryForKey(key);
}

PlistValue UserDefaults::objectForKey(std::string_view key) {
    return snapshot().objectForKey(key);
}

std::optional<std::string> UserDefaults::Snapshot::stringForKey(std::string_view key) const {
    if (const auto text = root_->objectForKey(key).stringValue())
        return std::string(*text);
    return std::nullopt;
}

PlistValue UserDefaults::Snapshot::dictionaryForKey(std::string_view key) const {
    const PlistValue& value = root_->objectForKey(key);
    return value.isDictionary() ? value : PlistValue();
}

PlistValue UserDefaults::Snapshot::objectForKey(std::string_view key) const {
    return root_->objectForKey(key);
}

bool UserDefaults::removeObjectForKey(std::string_view key) {
    return setValueForKey(key, PlistValue());
}

bool UserDefaults::setValueForKey(std::string_view key, PlistValue value) {
    const std::string path = UserDefaults::path();
    if (path.empty())
        return false;
    // A store that cannot be read (a link, another account's, no regular file) is never replaced;
    // one that already holds the value needs no folder or lock file either.
    const std::shared_ptr<const Entry> seen = entryFor(path);
    if (!seen)
        return false;
    if (seen->root->objectForKey(key) == value)
        return true;
    // Everything from here on is done inside the folder checked once, by its descriptor, so that
    // a link put in its place meanwhile leads nowhere; nothing inside it is followed either.
    const auto [folderPath, name] = splitPath(path);
    const FileDescriptor folder = openStoreFolder(folderPath, true);
    if (!folder)
        return false;
    FileDescriptor lock(::openat(folder.get(), (name + ".lock").c_str(),
                                 O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    struct stat lockInfo {};
    if (!lock || ::fstat(lock.get(), &lockInfo) != 0 || !S_ISREG(lockInfo.st_mode) ||
        !ownedByUs(lockInfo) || !lockExclusively(lock.get()))
        return false;

    // Under the lock the file can change only from outside our writers; take what is there now.
    const std::shared_ptr<const Entry> loaded = entryFor(path, folder.get());
    if (!loaded)
        return false;
    const std::int64_t writeStart = now();

    PlistValue root = *loaded->root;
    if (value.isAbsent())
        root.removeObjectForKey(key);
    else
        root.setValueForKey(key, std::move(value));
    if (root == *loaded->root)
        return true;

    // Never write a store that would not read back as what was meant.
    const std::string xml = root.xml();
    if (PlistValue::parse(xml) != root)
        return false;
    if (loaded->damaged && !moveAside(folder.get(), name))
        return false;

    std::string temporary;
    FileDescriptor out = createTemporary(folder.get(), name, temporary);
    if (!out)
        return false;
    struct stat written {};
    const bool ok =
        writeAll(out.get(), xml) &&
        (!loaded->identity.exists || loaded->damaged || ::fchmod(out.get(), loaded->mode) == 0) &&
        ::fsync(out.get()) == 0 && ::fstat(out.get(), &written) == 0;
    if (auto hook = beforeRename.load())
        hook(folderPath + "/" + temporary);
    if (!ok || ::renameat(folder.get(), temporary.c_str(), folder.get(), name.c_str()) != 0) {
        ::unlinkat(folder.get(), temporary.c_str(), 0);
        return false;
    }
    // Makes the rename itself durable; a failure here loses nothing already written.
    ::fsync(folder.get());

    auto fresh = std::make_shared<Entry>();
    fresh->path = path;
    fresh->identity = identityOf(written);
    fresh->readAt = writeStart;
    fresh->mode = written.st_mode & 07777;
    fresh->bytes = xml;
    fresh->root = std::make_shared<const PlistValue>(std::move(root));
    fresh->pinned = std::move(out);
    std::lock_guard guard(mutex_);
    cache_ = std::move(fresh);
    return true;
}

namespace testing {
void setBeforeRenameHook(void (*hook)(const std::string&)) {
    beforeRename.store(hook);
}
} // namespace testing

} // namespace kx
