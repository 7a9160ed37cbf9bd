#pragma once

// What starting, signalling and reaping a child needs of the system beyond POSIX, one
// implementation per system (platform/linux/Process.cpp).

#include <VivoziZevidodirid/FileDescriptor.h>
#include <csignal>
#include <spawn.h>
#include <sys/types.h>

namespace kx {

// A pipe with both ends close-on-exec from the start, so that a child spawned by another thread
// meanwhile cannot inherit either. False with errno set on failure.
bool openPipe(FileDescriptor& readEnd, FileDescriptor& writeEnd);

// Lets the pipe behind fd hold more unwritten bytes, so that its writer is woken less often.
// Does nothing where that cannot be done (not a pipe, past the user's pipe quota).
void widenPipe(int fd);

// Adds to actions the closing of every descriptor from lowest up in the child, those the host
// opened without close-on-exec included. 0 or an error number.
int closeDescriptorsFrom(posix_spawn_file_actions_t& actions, int lowest);

// A close-on-exec handle on the child pid that keeps naming it, zombie included, and never a
// process that reuses its pid. Invalid with errno set when the system has none or cannot make
// one; ESRCH when pid is already reaped.
FileDescriptor openProcessHandle(pid_t pid);

// Sends signal (0: tests whether the process still exists, zombie included) through a handle
// from openProcessHandle. -1 with errno set on failure.
int signalProcess(int handle, int signal);

// waitid on the process behind handle, or on pid when handle is -1; EINTR is retried.
int waitForChild(int handle, pid_t pid, siginfo_t* info, int options);

} // namespace kx
