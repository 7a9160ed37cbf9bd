#pragma once

#include "support/TestSupport.h"

#include <optional>
#include <string>
#include <sys/types.h>

namespace vztest {

// A private dbus-daemon with the system bus's policy (signals may be sent and received by
// anyone), listening on a socket in a temporary folder. While it lives, DBUS_SYSTEM_BUS_ADDRESS
// points at it; the previous value is put back when it stops. Throws when it cannot start.
class DbusDaemon {
public:
    DbusDaemon();
    // Listening at the given socket path (empty: one in its own folder), so that a restart can
    // keep the address.
    explicit DbusDaemon(const std::string& socketPath);
    ~DbusDaemon();
    DbusDaemon(const DbusDaemon&) = delete;
    DbusDaemon& operator=(const DbusDaemon&) = delete;

    const std::string& address() const { return address_; }

private:
    TempDir folder_;
    pid_t pid_ = -1;
    std::string address_;
    std::optional<std::string> savedAddress_;
};

// A socket that accepts connections and never answers, as a hung bus would. While it lives,
// DBUS_SYSTEM_BUS_ADDRESS points at it.
class SilentBus {
public:
    SilentBus();
    ~SilentBus();
    SilentBus(const SilentBus&) = delete;
    SilentBus& operator=(const SilentBus&) = delete;

private:
    TempDir folder_;
    int fd_ = -1;
    std::optional<std::string> savedAddress_;
};

// Points DBUS_SYSTEM_BUS_ADDRESS at a socket path where nothing listens, for one scope.
class NoBus {
public:
    NoBus();
    ~NoBus();
    NoBus(const NoBus&) = delete;
    NoBus& operator=(const NoBus&) = delete;

private:
    TempDir folder_;
    std::optional<std::string> savedAddress_;
};

} // namespace vztest
