#pragma once

#include <VivoziZevidodirid/PlistValue.h>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kx {

// The running program's per-user key-value store, kept as an XML property list whose root is a
// dictionary: systemPaths().userDefaults, or ${XDG_CONFIG_HOME:-$HOME/.config}/<program name>/
// defaults.plist when that is empty. A relative or empty XDG_CONFIG_HOME or HOME is ignored; the
// effective user's home from the password database stands in for HOME. The path is looked up on
// every call.
//
// It never loses data:
// - a write goes to a temporary file in the same folder, is flushed and renamed over the store,
//   so a reader or a crash sees the old store or the new one, never a torn one;
// - every change is a read-modify-write under an exclusive flock on "<store>.lock", so writers in
//   other processes and threads keep each other's keys;
// - every read checks the file's identity, time and size with one stat, so a change made from
//   outside is seen at once, and an unchanged file is not parsed again; a file changed so
//   recently that a second change could share its time stamp is read again (not parsed again
//   unless its bytes differ) until that can no longer happen;
// - a file that is not a property list with a dictionary root reads as an empty store and is
//   renamed "<store>.damaged-<UTC time>" before the first write, never overwritten;
// - a path that holds something other than a regular file (a FIFO, a device, a folder) is never
//   waited on: it reads as an empty store and every write fails, leaving it as it is;
// - no link is followed at the store, its lock, its temporary file or its folder (links further
//   up, such as a home reached through one, are), and no folder or file of another account is
//   read or written: such a store reads as empty and every write fails, writing nothing. A
//   missing folder is made (0700) only inside one of the effective user's.
//
// Every member may be called from any thread.
class UserDefaults {
public:
    // One view of the store as it was when taken: its reads check nothing and cannot disagree.
    class Snapshot {
    public:
        // The string under key; nullopt when the key is missing or holds another kind.
        std::optional<std::string> stringForKey(std::string_view key) const;
        // The dictionary under key; absent when the key is missing or holds another kind.
        PlistValue dictionaryForKey(std::string_view key) const;
        // Whatever is under key; absent when missing.
        PlistValue objectForKey(std::string_view key) const;
        const PlistValue& root() const { return *root_; }

    private:
        friend class UserDefaults;
        explicit Snapshot(std::shared_ptr<const PlistValue> root) : root_(std::move(root)) {}
        std::shared_ptr<const PlistValue> root_;
    };

    // The process's store.
    static UserDefaults& standard();

    // The store file in force; "" when there is none (no table entry and no home folder).
    static std::string path();

    Snapshot snapshot();
    std::optional<std::string> stringForKey(std::string_view key);
    PlistValue dictionaryForKey(std::string_view key);
    PlistValue objectForKey(std::string_view key);

    // Sets key to value; an absent value removes the key. The file is written at once, creating
    // its folder when missing. False when the store could not be written (it is then unchanged).
    bool setValueForKey(std::string_view key, PlistValue value);
    bool removeObjectForKey(std::string_view key);

    // How many times a store file has been parsed, by every store of the process.
    static std::uint64_t parseCount();

    UserDefaults();
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

private:
    struct Entry;
    // The store file as last seen, brought up to date first; nullptr when it cannot be read.
    // folder: the store's folder already opened and checked, or -1.
    std::shared_ptr<const Entry> entryFor(const std::string& path, int folder = -1);
    static std::shared_ptr<const Entry> readEntry(const std::string& path, int folder,
                                                  const std::shared_ptr<const Entry>& previous);

    std::mutex mutex_;
    std::shared_ptr<const Entry> cache_;
};

namespace testing {
// Called by every store write after the new file is flushed and before it is renamed over the
// store, with the temporary file's path; nullptr removes it. Lets a test stop a writer there.
void setBeforeRenameHook(void (*hook)(const std::string& temporaryPath));
} // namespace testing

} // namespace kx
