#include "platform/linux/Pidfd.h"

#include <cerrno>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kx {

int pidfdOpen(pid_t pid) {
    long fd;
    do {
        fd = syscall(SYS_pidfd_open, pid, 0U);
    } while (fd < 0 && errno == EINTR);
    return static_cast<int>(fd);
}

int pidfdSendSignal(int pidfd, int signal) {
    long rc;
    do {
        rc = syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0U);
    } while (rc < 0 && errno == EINTR);
    return static_cast<int>(rc);
}

int waitForChild(int pidfd, pid_t pid, siginfo_t* info, int options) {
    const idtype_t type = pidfd >= 0 ? P_PIDFD : P_PID;
    const id_t id = pidfd >= 0 ? static_cast<id_t>(pidfd) : static_cast<id_t>(pid);
    int rc;
    do {
        rc = waitid(type, id, info, options);
    } while (rc < 0 && errno == EINTR);
    return rc;
}

} // namespace kx
