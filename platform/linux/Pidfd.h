#pragma once

#include <csignal>
#include <sys/types.h>

namespace kx {

// Thin wrappers over the pidfd system calls. glibc 2.36's <sys/pidfd.h> cannot be included from
// C++ (it lacks extern "C"), so these go through syscall(2). Each returns -1 with errno set on
// failure; EINTR is retried.

// A close-on-exec descriptor for the process pid (a child, possibly a zombie).
int pidfdOpen(pid_t pid);
// Sends signal (0 tests whether the process still exists, zombie included).
int pidfdSendSignal(int pidfd, int signal);
// waitid on the process behind pidfd, or on pid when pidfd is -1.
int waitForChild(int pidfd, pid_t pid, siginfo_t* info, int options);

} // namespace kx
