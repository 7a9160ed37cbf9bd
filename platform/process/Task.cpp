#include "platform/process/ProcessSystem.h"

#include <VivoziZevidodirid/Task.h>
#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace kx {

namespace {

// A descriptor at 3 or above, so that a host which closed 0, 1 or 2 cannot have our pipe land
// on a slot the child's dup2 steps overwrite. False with errno set when it cannot be moved.
bool moveAboveStandardStreams(FileDescriptor& fd) {
    if (fd.get() > 2)
        return true;
    FileDescriptor moved(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
    const int saved = errno;
    fd = std::move(moved);
    errno = saved;
    return bool(fd);
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

// Everything a Task holds. It has internal linkage (Task::State only derives from it), so that
// none of it is exported with the class.
struct ChildState {
    enum class Phase { Configuring, Failed, Running, Reaped };

    struct Stream {
        Stdio::Kind kind = Stdio::Kind::Inherit;
        FileDescriptor file;      // our duplicate of a Stdio::file descriptor
        int fileError = 0;        // why duplicating it failed
        FileDescriptor parentEnd; // our end of a pipe, until taken
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
    FileDescriptor pidfd;
    int waiters = 0; // threads blocked on pidfd outside the lock; it stays open while any are
    int status = -1;

    void setStream(int index, Stdio stdio) {
        std::lock_guard lock(mutex);
        if (phase != Phase::Configuring)
            return;
        Stream& stream = streams[index];
        stream.file.reset();
        stream.fileError = 0;
        stream.kind = stdio.kind();
        if (stdio.kind() == Stdio::Kind::File) {
            // Duplicated now, so the caller may close its own as soon as this returns.
            stream.file.reset(::fcntl(stdio.fd(), F_DUPFD_CLOEXEC, 3));
            if (!stream.file)
                stream.fileError = errno;
        }
    }

    FileDescriptor takeStream(int index) {
        std::lock_guard lock(mutex);
        return std::move(streams[index].parentEnd);
    }

    std::error_code failLaunch(int error) {
        phase = Phase::Failed;
        status = 127;
        for (Stream& stream : streams) {
            stream.file.reset();
            stream.parentEnd.reset();
        }
        return {error, std::system_category()};
    }

    // Signals the child, or its group, only while it is known unreaped; the caller holds mutex,
    // so the reaping path cannot free the pid in between.
    void signalLocked(int signal) {
        if (phase != Phase::Running)
            return;
        if (groupLeader) {
            // Someone else (SIGCHLD ignored, a host's waitpid(-1)) may have reaped the leader;
            // the pidfd tells, and then the group id may already be another's.
            if (pidfd && signalProcess(pidfd.get(), 0) != 0)
                return;
            ::kill(-pid, signal);
        } else if (pidfd) {
            signalProcess(pidfd.get(), signal);
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
            pidfd.reset();
    }

    // Reaps the child when it has exited; true once it is reaped (by us or, unseen, by another).
    bool tryReapLocked() {
        if (phase != Phase::Running)
            return phase == Phase::Reaped;
        siginfo_t info{};
        if (waitForChild(pidfd.get(), pid, &info, WEXITED | WNOHANG) == 0) {
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

// Starts the child; the caller holds state.mutex.
std::error_code launchChild(ChildState& state) {
    using Phase = ChildState::Phase;
    if (state.phase != Phase::Configuring)
        return std::make_error_code(std::errc::device_or_resource_busy);
    if (state.launchPath.empty())
        return state.failLaunch(ENOENT);
    for (const ChildState::Stream& stream : state.streams)
        if (stream.kind == Stdio::Kind::File && !stream.file)
            return state.failLaunch(stream.fileError ? stream.fileError : EBADF);

    // Closed as soon as the child has its copies, or the launch failed.
    std::array<FileDescriptor, 3> childEnds;
    for (int index = 0; index < 3; ++index) {
        ChildState::Stream& stream = state.streams[index];
        if (stream.kind != Stdio::Kind::Pipe)
            continue;
        FileDescriptor readEnd;
        FileDescriptor writeEnd;
        if (!openPipe(readEnd, writeEnd))
            return state.failLaunch(errno);
        const bool childReads = index == 0;
        childEnds[index] = std::move(childReads ? readEnd : writeEnd);
        stream.parentEnd = std::move(childReads ? writeEnd : readEnd);
        if (!moveAboveStandardStreams(childEnds[index]) ||
            !moveAboveStandardStreams(stream.parentEnd))
            return state.failLaunch(errno);
    }

    SpawnActions actions;
    SpawnAttributes attributes;
    int error = actions.error ? actions.error : attributes.error;
    for (int index = 0; index < 3 && error == 0; ++index) {
        switch (state.streams[index].kind) {
        case Stdio::Kind::Inherit:
            break;
        case Stdio::Kind::Pipe:
            error =
                posix_spawn_file_actions_adddup2(&actions.actions, childEnds[index].get(), index);
            break;
        case Stdio::Kind::File:
            error = posix_spawn_file_actions_adddup2(&actions.actions,
                                                     state.streams[index].file.get(), index);
            break;
        case Stdio::Kind::Null:
            error = posix_spawn_file_actions_addopen(&actions.actions, index, "/dev/null",
                                                     index == 0 ? O_RDONLY : O_WRONLY, 0);
            break;
        }
    }
    // Descriptors the host opened without close-on-exec must not leak into the tool either.
    if (error == 0)
        error = closeDescriptorsFrom(actions.actions, 3);

    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (state.groupLeader)
        flags |= POSIX_SPAWN_SETPGROUP;
    if (error == 0)
        error = posix_spawnattr_setsigmask(&attributes.attributes, &none);
    if (error == 0)
        error = posix_spawnattr_setsigdefault(&attributes.attributes, &all);
    if (error == 0)
        error = posix_spawnattr_setpgroup(&attributes.attributes, 0);
    if (error == 0)
        error = posix_spawnattr_setflags(&attributes.attributes, flags);
    if (error != 0)
        return state.failLaunch(error);

    std::vector<char*> argv;
    argv.reserve(state.arguments.size() + 2);
    argv.push_back(state.launchPath.data());
    for (std::string& argument : state.arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::vector<char*> envp;
    char** env = environ;
    if (state.environment) {
        envp.reserve(state.environment->size() + 1);
        for (std::string& variable : *state.environment)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        env = envp.data();
    }

    pid_t child = 0;
    do {
        // glibc reports a failed exec here, through the return value.
        error = posix_spawn(&child, state.launchPath.c_str(), &actions.actions,
                            &attributes.attributes, argv.data(), env);
    } while (error == EINTR);
    for (FileDescriptor& end : childEnds)
        end.reset();
    for (ChildState::Stream& stream : state.streams)
        stream.file.reset();
    if (error != 0)
        return state.failLaunch(error);

    state.pid = child;
    // Without a pidfd (an old kernel, no descriptor left) the lock alone keeps signals off a
    // reaped pid; only a reap by someone else could then fool it.
    state.pidfd = openProcessHandle(child);
    const int handleError = state.pidfd ? 0 : errno;
    state.phase = Phase::Running;
    if (handleError == ESRCH) {
        // Already reaped by someone else (the host ignores SIGCHLD): never signal its pid.
        state.phase = Phase::Reaped;
        return {};
    }
    if (state.terminateRequested)
        state.terminateLocked();
    return {};
}

} // namespace

struct Task::State : ChildState {};

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
    return launchChild(*state_);
}

bool Task::isLaunched() const {
    std::lock_guard lock(state_->mutex);
    return state_->phase == State::Phase::Running || state_->phase == State::Phase::Reaped;
}

FileDescriptor Task::takeStandardInput() {
    return state_->takeStream(0);
}
FileDescriptor Task::takeStandardOutput() {
    return state_->takeStream(1);
}
FileDescriptor Task::takeStandardError() {
    return state_->takeStream(2);
}

void Task::waitUntilExit() {
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    while (state.phase == State::Phase::Running) {
        // Wait without reaping, outside the lock, so terminate() stays free to signal; the reap
        // itself happens under the lock.
        ++state.waiters;
        const int pidfd = state.pidfd.get();
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
        state.pidfd.reset();
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
