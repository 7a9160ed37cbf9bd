#include "platform/defaults/UserDefaults.h"

#include "platform/SystemPathTable.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kx {
namespace {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~Fd() { reset(); }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

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
    return Identity{true,
                    info.st_dev,
                    info.st_ino,
                    static_cast<std::int64_t>(info.st_mtim.tv_sec),
                    info.st_mtim.tv_nsec,
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

bool readAll(int fd, std::size_t sizeHint, std::string& bytes) {
    bytes.clear();
    bytes.reserve(sizeHint);
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return true;
}

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return {};
}

std::string xdgPath() {
    std::string base;
    // The XDG rules ignore a relative XDG_CONFIG_HOME.
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/')
        base = config;
    else if (std::string home = homeFolder(); !home.empty())
        base = home + "/.config";
    else
        return {};
    std::string program = program_invocation_short_name;
    if (program.empty())
        program = "unnamed";
    return base + "/" + program + "/defaults.plist";
}

std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool makeFolders(const std::string& folder) {
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0)
        return S_ISDIR(info.st_mode);
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        // Settings are private to their user.
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
        if (slash == std::string::npos)
            break;
    }
    return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool lockExclusively(int fd) {
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }
    return true;
}

// Renames a damaged store to a free "<store>.damaged-<UTC time>[-n]" beside it.
bool moveAside(const std::string& path) {
    const std::time_t seconds = std::time(nullptr);
    std::tm utc{};
    char stamp[32] = "unknown";
    if (::gmtime_r(&seconds, &utc))
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string base = path + ".damaged-" + stamp;
    struct stat info {};
    std::string aside = base;
    for (int n = 2; ::lstat(aside.c_str(), &info) == 0; ++n)
        aside = base + "-" + std::to_string(n);
    return ::rename(path.c_str(), aside.c_str()) == 0;
}

void syncFolder(const std::string& folder) {
    // Makes the rename itself durable; a failure here loses nothing already written.
    Fd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd)
        ::fsync(fd.get());
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
    Fd pinned;

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
UserDefaults::readEntry(const std::string& path, const std::shared_ptr<const Entry>& previous) {
    auto entry = std::make_shared<Entry>();
    entry->path = path;
    entry->readAt = now();
    // Non-blocking, so that a FIFO put in the store's place cannot hold the caller before its
    // type is seen; it changes nothing for a regular file.
    Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return (errno == ENOENT || errno == ENOTDIR) ? entry : nullptr;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        !readAll(fd.get(), static_cast<std::size_t>(info.st_size), entry->bytes))
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
        return xdgPath();
    return path;
}

std::uint64_t UserDefaults::parseCount() {
    return parses.load(std::memory_order_relaxed);
}

std::shared_ptr<const UserDefaults::Entry> UserDefaults::entryFor(const std::string& path) {
    struct stat info {};
    const Identity seen = ::stat(path.c_str(), &info) == 0 ? identityOf(info) : Identity{};
    std::shared_ptr<const Entry> previous;
    {
        std::lock_guard lock(mutex_);
        if (cache_ && cache_->path == path && cache_->identity == seen && !cache_->racy())
            return cache_;
        previous = cache_;
    }
    // Read outside the lock; a reader that installs an older file than another's is corrected
    // by the next read's stat.
    std::shared_ptr<const Entry> fresh = readEntry(path, previous);
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
    // Already so: nothing to write, and no folder or lock file to create for it.
    if (const auto seen = entryFor(path); seen && seen->root->objectForKey(key) == value)
        return true;
    const auto [folder, name] = splitPath(path);
    if (!makeFolders(folder))
        return false;
    Fd lock(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock || !lockExclusively(lock.get()))
        return false;

    // Under the lock the file can change only from outside our writers; take what is there now.
    const std::shared_ptr<const Entry> loaded = entryFor(path);
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
    if (loaded->damaged && !moveAside(path))
        return false;

    std::string temporary = folder + "/." + name + ".XXXXXX";
    Fd out(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!out)
        return false;
    struct stat written {};
    const bool ok =
        writeAll(out.get(), xml) &&
        (!loaded->identity.exists || loaded->damaged || ::fchmod(out.get(), loaded->mode) == 0) &&
        ::fsync(out.get()) == 0 && ::fstat(out.get(), &written) == 0;
    if (auto hook = beforeRename.load())
        hook(temporary);
    if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    syncFolder(folder);

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
