#pragma once

#include <optional>

namespace vivozi {

// Takes SIGINT, SIGTERM and SIGHUP as readable events instead of interruptions, for the life of the
// object. Create it before any thread is started, so that every thread inherits the blocked
// mask and the signals can only arrive here. Children started through kx::Task get the default
// mask back.
class InterruptSignals {
public:
    InterruptSignals();
    ~InterruptSignals();
    InterruptSignals(const InterruptSignals&) = delete;
    InterruptSignals& operator=(const InterruptSignals&) = delete;

    // A descriptor that polls readable while a signal is pending; -1 when none could be made.
    int fd() const { return fd_; }
    // The pending signal's number, taking it; nullopt when none is pending.
    std::optional<int> take();

private:
    int fd_ = -1;
};

// A wake-up another thread can post to a poll loop (an eventfd).
class Wakeup {
public:
    Wakeup();
    ~Wakeup();
    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    int fd() const { return fd_; }
    void post();

private:
    int fd_ = -1;
};

} // namespace vivozi
