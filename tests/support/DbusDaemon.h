#pragma once

#include "support/TestSupport.h"

#include <optional>
#include <string>
#include <sys/types.h>

namespace vztest {

// A temporary folder and, once pointAt() is called, DBUS_SYSTEM_BUS_ADDRESS pointing at an
// address for the object's life; the previous value comes back afterwards.
class ScopedBus {
public:
    ScopedBus(const ScopedBus&) = delete;
    ScopedBus& operator=(const ScopedBus&) = delete;

protected:
    ScopedBus() = default;
    ~ScopedBus();
    void pointAt(const std::string& address);
    TempDir folder_;

private:
    bool pointed_ = false;
    std::optional<std::string> saved_;
};

// A private dbus-daemon with the system bus's policy. Throws when it cannot start.
class DbusDaemon : public ScopedBus {
public:
    // At the given socket path (empty: one in its own folder), so that a restart keeps the address.
    explicit DbusDaemon(const std::string& socketPath = "");
    ~DbusDaemon();

private:
    pid_t pid_ = -1;
};

// A socket that accepts connections and never answers, as a hung bus would.
class SilentBus : public ScopedBus {
public:
    SilentBus();
    ~SilentBus();

private:
    int fd_ = -1;
};

// A socket path where nothing listens.
class NoBus : public ScopedBus {
public:
    NoBus() { pointAt("unix:path=" + folder_.file("nobody_listens")); }
};

} // namespace vztest
