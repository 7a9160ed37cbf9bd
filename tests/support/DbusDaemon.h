#pragma once

#include "support/TestSupport.h"

#include <VivoziZevidodirid/FileDescriptor.h>
#include <cstdio>
#include <optional>
#include <string>
#include <sys/types.h>

namespace vztest {

// A temporary folder, and DBUS_SYSTEM_BUS_ADDRESS as pointAt() sets it for the object's life.
class ScopedBus {
protected:
    ScopedBus();
    ~ScopedBus();
    void pointAt(const std::string& address);
    TempDir folder_;

private:
    std::optional<std::string> saved_;
};

// A private dbus-daemon with the system bus's policy, in its own folder. Throws when it cannot
// start.
class DbusDaemon : public ScopedBus {
public:
    DbusDaemon();
    ~DbusDaemon();

private:
    FILE* out_ = nullptr; // its standard output; closed once it has ended
    pid_t pid_ = -1;
};

// A socket that accepts connections and never answers, as a hung bus would.
class SilentBus : public ScopedBus {
public:
    SilentBus();

private:
    kx::FileDescriptor fd_;
};

// A socket path where nothing listens.
class NoBus : public ScopedBus {
public:
    NoBus() { pointAt("unix:path=" + folder_.file("nobody_listens")); }
};

} // namespace vztest
