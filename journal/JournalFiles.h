#pragma once

#include <VivoziZevidodirid/FileDescriptor.h>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kx::journal {

// The journal's default location for an account: root's under /var/lib, another's under its
// home; "" when home is not absolute.
std::string defaultJournalPath(uid_t uid, std::string_view home);

// The account's home from the password database; "" when it has none.
std::string accountHome(uid_t uid);

// The journal's file checked for safe use: the folder (created with mode 0700 where missing,
// when create is set) must be a folder of the caller or root that no one else may write to, and
// the file, when present, a regular file of the caller's. Returns the file's path with the folder
// resolved, so that no link is left in it; nullopt with `why` set when refused.
std::optional<std::string> checkedJournalFile(const std::string& path, bool create,
                                              std::string& why, int& errorNumber);

// The file whose lock marks a run of `set` under way, beside the journal.
std::string runLockPath(const std::string& journalFile, std::string_view set);

// Whether the run a stand-in `pid` recorded as running is still under way: its set's run lock
// is held by that pid or, where no lock file could be made, the pid still exists.
bool runStillUnderWay(const std::string& journalFile, std::string_view set, pid_t pid);

// The lock a stand-in holds while it runs a set: one run of a set at a time.
class RunLock {
public:
    enum class State {
        Held,       // ours until destroyed
        Busy,       // another run holds it; holder() names its pid when known
        Unavailable // no lock file could be used (a read-only folder, another's file)
    };

    RunLock(const std::string& journalFile, std::string_view set);
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

    State state() const { return state_; }
    pid_t holder() const { return holder_; }

private:
    FileDescriptor fd_;
    State state_ = State::Unavailable;
    pid_t holder_ = 0;
};

} // namespace kx::journal
