// Only Linux code lives under platform/linux/: here, the pidfd calls for Linux-only callers (the
// stand-ins); the library's portable code reaches them through platform/process/ProcessSystem.h.
#pragma once

#include "platform/process/ProcessSystem.h" // waitForChild

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

} // namespace kx
