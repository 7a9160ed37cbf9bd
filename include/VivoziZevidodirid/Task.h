#pragma once

#include <VivoziZevidodirid/Export.h>
#include <VivoziZevidodirid/FileDescriptor.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <system_error>
#include <vector>

namespace kx {

// Where one of a child's standard streams goes.
class VZ_EXPORT Stdio {
public:
    enum class Kind { Inherit, Pipe, File, Null };

    static Stdio inherit() { return Stdio(Kind::Inherit); }
    // A new pipe; the parent's end is handed out by Task::takeStandardOutput and friends.
    static Stdio pipe() { return Stdio(Kind::Pipe); }
    static Stdio nullDevice() { return Stdio(Kind::Null); }
    // An open descriptor, borrowed: the task's setStandard* duplicates it at once, and the caller
    // keeps (and closes) its own.
    static Stdio file(int fd) { return Stdio(Kind::File, fd); }

    Kind kind() const { return kind_; }
    int fd() const { return fd_; }

private:
    explicit Stdio(Kind kind, int fd = -1) : kind_(kind), fd_(fd) {}
    Kind kind_;
    int fd_;
};

// A child process, launched by absolute path with posix_spawn.
//
// The child inherits no descriptor of the host beyond 0, 1 and 2, starts with the default signal
// mask and dispositions, and, when asked, leads a process group of its own. terminate() reaches
// the child through a pidfd (or, for a group, while the leader is still unreaped), so it can never
// signal a recycled process id. Every member may be called from any thread.
class VZ_EXPORT Task {
public:
    Task();
    ~Task(); // does not terminate or wait for a running child (one already exited is reaped)
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    void setLaunchPath(std::string path);
    void setArguments(std::vector<std::string> arguments); // without the program name
    // nullopt (the default): the host's environment. An empty list: no variable at all.
    void setEnvironment(std::optional<std::vector<std::string>> environment);
    void setStandardInput(Stdio stdio);
    void setStandardOutput(Stdio stdio);
    void setStandardError(Stdio stdio);
    // Start the child as the leader of a new process group; terminate() then signals the group.
    void setProcessGroupLeader(bool leader);

    // Starts the child. A failure (missing, not executable, out of resources) is returned, not
    // thrown; the task then counts as finished with status 127 and nothing runs. A task launches
    // at most once: a second call fails with std::errc::device_or_resource_busy. Settings made
    // after launch are ignored.
    std::error_code launch();
    // True once launch() has succeeded.
    bool isLaunched() const;

    // The parent's end of a Stdio::pipe() stream, close-on-exec. Empty when the stream is not a
    // pipe, the task was not launched, or the end was already taken.
    FileDescriptor takeStandardInput();
    FileDescriptor takeStandardOutput();
    FileDescriptor takeStandardError();

    // Blocks until the child has exited and reaps it. Returns at once when the child was
    // never started or is already reaped.
    void waitUntilExit();
    // True while a launched child has not exited. A child found to have exited is reaped here,
    // without blocking, and its status becomes available.
    bool isRunning();
    // The exit status (0-255), or 128 + signal number for a child ended by a signal; 127 when the
    // launch failed; -1 before the child has been waited for, or when someone else reaped it
    // (a host that ignores SIGCHLD).
    int terminationStatus() const;
    // Sends SIGTERM, then SIGCONT, to the child (its group, when it leads one), so that a
    // stopped process receives the terminate too. A no-op after it was reaped; a terminate
    // requested before launch is delivered as soon as the child starts.
    void terminate();
    // The child's pid; 0 before launch or after a failed launch.
    pid_t processIdentifier() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace kx
