// Only Linux code lives under platform/linux/: here, pipes, spawn actions and pidfds.
#include "platform/linux/Pidfd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kx {

namespace {
// As much as an unprivileged process may give a pipe by default (/proc/sys/fs/pipe-max-size).
constexpr int kPipeSize = 1 << 20;
} // namespace

bool openPipe(FileDescriptor& readEnd, FileDescriptor& writeEnd) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return false;
    readEnd.reset(ends[0]);
    writeEnd.reset(ends[1]);
    return true;
}

void widenPipe(int fd) {
    ::fcntl(fd, F_SETPIPE_SZ, kPipeSize);
}

int closeDescriptorsFrom(posix_spawn_file_actions_t& actions, int lowest) {
    return posix_spawn_file_actions_addclosefrom_np(&actions, lowest);
}

int pidfdOpen(pid_t pid) {
    long fd;
    do {
        fd = ::syscall(SYS_pidfd_open, pid, 0U);
    } while (fd < 0 && errno == EINTR);
    return static_cast<int>(fd);
}

int pidfdSendSignal(int pidfd, int signal) {
    long rc;
    do {
        rc = ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U);
    } while (rc < 0 && errno == EINTR);
    return static_cast<int>(rc);
}

FileDescriptor openProcessHandle(pid_t pid) {
    return FileDescriptor(pidfdOpen(pid));
}

int signalProcess(int handle, int signal) {
    return pidfdSendSignal(handle, signal);
}

int waitForChild(int handle, pid_t pid, siginfo_t* info, int options) {
    const idtype_t type = handle >= 0 ? P_PIDFD : P_PID;
    const id_t id = handle >= 0 ? static_cast<id_t>(handle) : static_cast<id_t>(pid);
    int rc;
    do {
        rc = ::waitid(type, id, info, options);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

} // namespace kx
