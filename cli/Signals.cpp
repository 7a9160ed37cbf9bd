#include "cli/Signals.h"

#include <csignal>
#include <cstdint>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace vivozi {

InterruptSignals::InterruptSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

InterruptSignals::~InterruptSignals() {
    if (fd_ >= 0)
        close(fd_);
    // The mask stays blocked: the program is about to end, and a signal let through now would
    // kill it before it could say how the run went.
}

std::optional<int> InterruptSignals::take() {
    signalfd_siginfo info{};
    if (fd_ < 0 || read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return std::nullopt;
    return static_cast<int>(info.ssi_signo);
}

Wakeup::Wakeup() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
    if (fd_ >= 0)
        close(fd_);
}

void Wakeup::post() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
}

} // namespace vivozi
