#include "platform/linux/Pidfd.h"

#include <VivoziZevidodirid/Task.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kx {

namespace {

void closeQuietly(int& fd) {
    if (fd >= 0) {
        // Not retried on EINTR: Linux has released the descriptor by then.
        ::close(fd);
        fd = -1;
    }
}

// A descriptor at 3 or above, so that a host which closed 0, 1 or 2 cannot have our pipe land
// on a slot the child's dup2 steps overwrite. Closes fd when it has to move it.
int aboveStandardStreams(int fd) {
    if (fd < 0 || fd > 2)
        return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return moved;
}

int statusFrom(const siginfo_t& info) {
    if (info.si_code == CLD_EXITED)
        return info.si_status;
    return 128 + info.si_status;
}

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    int error = posix_spawn_file_actions_init(&actions);
    ~SpawnActions() {
        if (error == 0)
            posix_spawn_file_actions_destroy(&actions);
    }
};

struct SpawnAttributes {
    posix_spawnattr_t attributes;
    int error = posix_spawnattr_init(&attributes);
    ~SpawnAttributes() {
        if (error == 0)
            posix_spawnattr_destroy(&attributes);
    }
};

} // namespace

struct Task::State {
    enum class Phase { Configuring, Failed, Running, Reaped };

    struct Stream {
        Stdio::Kind kind = Stdio::Kind::Inherit;
        int fileFd = -1;    // our duplicate of a Stdio::file descriptor
        int fileError = 0;  // why duplicating it failed
        int parentEnd = -1; // our end of a pipe, until taken
    };

    mutable std::mutex mutex;
    std::string launchPath;
    std::vector<std::string> arguments;
    std::optional<std::vector<std::string>> environment;
    std::array<Stream, 3> streams;
    bool groupLeader = false;

    Phase phase = Phase::Configuring;
    bool terminateRequested = false;
    pid_t pid = 0;
    int pidfd = -1;
    int waiters = 0; // threads blocked on pidfd outside the lock; it stays open while any are
    int status = -1;

    ~State() {
        for (Stream& stream : streams) {
            closeQuietly(stream.fileFd);
            closeQuietly(stream.parentEnd);
        }
        closeQuietly(pidfd);
    }

    void setStream(int index, Stdio stdio) {
        std::lock_guard lock(mutex);
        if (phase != Phase::Configuring)
            return;
        Stream& stream = streams[index];
        closeQuietly(stream.fileFd);
        stream.fileError = 0;
        stream.kind = stdio.kind();
        if (stdio.kind() == Stdio::Kind::File) {
            // Duplicated now, so the caller may close its own as soon as this returns.
            stream.fileFd = ::fcntl(stdio.fd(), F_DUPFD_CLOEXEC, 3);
            if (stream.fileFd < 0)
                stream.fileError = errno;
        }
    }

    int takeStream(int index) {
        std::lock_guard lock(mutex);
        const int fd = streams[index].parentEnd;
        streams[index].parentEnd = -1;
        return fd;
    }

    std::error_code failLaunch(int error) {
        phase = Phase::Failed;
        status = 127;
        for (Stream& stream : streams) {
            closeQuietly(stream.fileFd);
            closeQuietly(stream.parentEnd);
        }
        return {error, std::system_category()};
    }

    std::error_code launch();

    // Signals the child, or its group, only while it is known unreaped; the caller holds mutex,
    // so the reaping path cannot free the pid in between.
    void signalLocked(int signal) {
        if (phase != Phase::Running)
            return;
        if (groupLeader) {
            // Someone else (SIGCHLD ignored, a host's waitpid(-1)) may have reaped the leader;
            // the pidfd tells, and then the group id may already be another's.
            if (pidfd >= 0 && pidfdSendSignal(pidfd, 0) != 0)
                return;
            ::kill(-pid, signal);
        } else if (pidfd >= 0) {
            pidfdSendSignal(pidfd, signal);
        } else {
            ::kill(pid, signal);
        }
    }

    // SIGCONT after SIGTERM: a stopped process (a script that read the terminal and got
    // SIGTTIN) acts on neither until it runs again.
    void terminateLocked() {
        signalLocked(SIGTERM);
        signalLocked(SIGCONT);
    }

    void markReapedLocked() {
        phase = Phase::Reaped;
        if (waiters == 0)
            closeQuietly(pidfd);
    }

    // Reaps the child when it has exited; true once it is reaped (by us or, unseen, by another).
    bool tryReapLocked() {
        if (phase != Phase::Running)
            return phase == Phase::Reaped;
        siginfo_t info{};
        if (waitForChild(pidfd, pid, &info, WEXITED | WNOHANG) == 0) {
            if (info.si_pid == 0)
                return false;
            status = statusFrom(info);
            markReapedLocked();
            return true;
        }
        if (errno == ECHILD) {
            // Reaped behind our back; its status is lost.
            markReapedLocked();
            return true;
        }
        return false;
    }
};

std::error_code Task::State::launch() {
    if (phase != Phase::Configuring)
        return std::make_error_code(std::errc::device_or_resource_busy);
    if (launchPath.empty())
        return failLaunch(ENOENT);
    for (const Stream& stream : streams)
        if (stream.kind == Stdio::Kind::File && stream.fileFd < 0)
            return failLaunch(stream.fileError ? stream.fileError : EBADF);

    std::array<int, 3> childEnds{-1, -1, -1};
    auto closeChildEnds = [&] {
        for (int& fd : childEnds)
            closeQuietly(fd);
    };
    for (int index = 0; index < 3; ++index) {
        if (streams[index].kind != Stdio::Kind::Pipe)
            continue;
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            const int error = errno;
            closeChildEnds();
            return failLaunch(error);
        }
        const bool childReads = index == 0;
        int child = aboveStandardStreams(childReads ? ends[0] : ends[1]);
        int parent = aboveStandardStreams(childReads ? ends[1] : ends[0]);
        childEnds[index] = child;
        streams[index].parentEnd = parent;
        if (child < 0 || parent < 0) {
            const int error = errno;
            closeChildEnds();
            return failLaunch(error);
        }
    }

    SpawnActions actions;
    SpawnAttributes attributes;
    int error = actions.error ? actions.error : attributes.error;
    for (int index = 0; index < 3 && error == 0; ++index) {
        switch (streams[index].kind) {
        case Stdio::Kind::Inherit:
            break;
        case Stdio::Kind::Pipe:
            error = posix_spawn_file_actions_adddup2(&actions.actions, childEnds[index], index);
            break;
        case Stdio::Kind::File:
            error =
                posix_spawn_file_actions_adddup2(&actions.actions, streams[index].fileFd, index);
            break;
        case Stdio::Kind::Null:
            error = posix_spawn_file_actions_addopen(&actions.actions, index, "/dev/null",
                                                     index == 0 ? O_RDONLY : O_WRONLY, 0);
            break;
        }
    }
    // Descriptors the host opened without close-on-exec must not leak into the tool either.
    if (error == 0)
        error = posix_spawn_file_actions_addclosefrom_np(&actions.actions, 3);

    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (groupLeader)
        flags |= POSIX_SPAWN_SETPGROUP;
    if (error == 0)
        error = posix_spawnattr_setsigmask(&attributes.attributes, &none);
    if (error == 0)
        error = posix_spawnattr_setsigdefault(&attributes.attributes, &all);
    if (error == 0)
        error = posix_spawnattr_setpgroup(&attributes.attributes, 0);
    if (error == 0)
        error = posix_spawnattr_setflags(&attributes.attributes, flags);
    if (error != 0) {
        closeChildEnds();
        return failLaunch(error);
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(launchPath.data());
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<char*> envp;
    char** env = environ;
    if (environment) {
        envp.reserve(environment->size() + 1);
        for (std::string& variable : *environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        env = envp.data();
    }

    pid_t child = 0;
    do {
        // glibc reports a failed exec here, through the return value.
        error = posix_spawn(&child, launchPath.c_str(), &actions.actions, &attributes.attributes,
                            argv.data(), env);
    } while (error == EINTR);
    closeChildEnds();
    for (Stream& stream : streams)
        closeQuietly(stream.fileFd);
    if (error != 0)
        return failLaunch(error);

    pid = child;
    // Without a pidfd (an old kernel, no descriptor left) the lock alone keeps signals off a
    // reaped pid; only a reap by someone else could then fool it.
    pidfd = pidfdOpen(child);
    phase = Phase::Running;
    if (pidfd < 0 && errno == ESRCH) {
        // Already reaped by someone else (the host ignores SIGCHLD): never signal its pid.
        phase = Phase::Reaped;
        return {};
    }
    if (terminateRequested)
        terminateLocked();
    return {};
}

Task::Task() : state_(std::make_unique<State>()) {}

Task::~Task() {
    // Not a wait: a child that has already exited is reaped rather than left as a zombie.
    std::lock_guard lock(state_->mutex);
    state_->tryReapLocked();
}

void Task::setLaunchPath(std::string path) {
    std::lock_guard lock(state_->mutex);
    if (state_->phase == State::Phase::Configuring)
        state_->launchPath = std::move(path);
}

void Task::setArguments(std::vector<std::string> arguments) {
    std::lock_guard lock(state_->mutex);
    if (state_->phase == State::Phase::Configuring)
        state_->arguments = std::move(arguments);
}

void Task::setEnvironment(std::optional<std::vector<std::string>> environment) {
    std::lock_guard lock(state_->mutex);
    if (state_->phase == State::Phase::Configuring)
        state_->environment = std::move(environment);
}

void Task::setStandardInput(Stdio stdio) {
    state_->setStream(0, stdio);
}
void Task::setStandardOutput(Stdio stdio) {
    state_->setStream(1, stdio);
}
void Task::setStandardError(Stdio stdio) {
    state_->setStream(2, stdio);
}

void Task::setProcessGroupLeader(bool leader) {
    std::lock_guard lock(state_->mutex);
    if (state_->phase == State::Phase::Configuring)
        state_->groupLeader = leader;
}

std::error_code Task::launch() {
    // Held across the spawn, so that a concurrent terminate() either finds the request flag
    // unread or the child started.
    std::lock_guard lock(state_->mutex);
    return state_->launch();
}

bool Task::isLaunched() const {
    std::lock_guard lock(state_->mutex);
    return state_->phase == State::Phase::Running || state_->phase == State::Phase::Reaped;
}

int Task::takeStandardInput() {
    return state_->takeStream(0);
}
int Task::takeStandardOutput() {
    return state_->takeStream(1);
}
int Task::takeStandardError() {
    return state_->takeStream(2);
}

void Task::waitUntilExit() {
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    while (state.phase == State::Phase::Running) {
        // Wait without reaping, outside the lock, so terminate() stays free to signal; the reap
        // itself happens under the lock.
        ++state.waiters;
        const int pidfd = state.pidfd;
        const pid_t pid = state.pid;
        lock.unlock();
        siginfo_t info{};
        const int rc = waitForChild(pidfd, pid, &info, WEXITED | WNOWAIT);
        const int error = errno;
        lock.lock();
        --state.waiters;
        if (state.tryReapLocked() || (rc != 0 && error != ECHILD))
            break;
    }
    if (state.phase != State::Phase::Running && state.waiters == 0)
        closeQuietly(state.pidfd);
}

bool Task::isRunning() {
    std::lock_guard lock(state_->mutex);
    return state_->phase == State::Phase::Running && !state_->tryReapLocked();
}

int Task::terminationStatus() const {
    std::lock_guard lock(state_->mutex);
    return state_->status;
}

void Task::terminate() {
    std::lock_guard lock(state_->mutex);
    if (state_->phase == State::Phase::Configuring)
        state_->terminateRequested = true;
    else
        state_->terminateLocked();
}

pid_t Task::processIdentifier() const {
    std::lock_guard lock(state_->mutex);
    return state_->pid;
}

} // namespace kx
