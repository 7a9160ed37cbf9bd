#include "support/DbusDaemon.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vztest {

constexpr char kVariable[] = "DBUS_SYSTEM_BUS_ADDRESS";

ScopedBus::ScopedBus() {
    if (const char* previous = std::getenv(kVariable))
        saved_ = previous;
}

ScopedBus::~ScopedBus() {
    if (saved_)
        setenv(kVariable, saved_->c_str(), 1);
    else
        unsetenv(kVariable);
}

void ScopedBus::pointAt(const std::string& address) {
    setenv(kVariable, address.c_str(), 1);
}

DbusDaemon::DbusDaemon() {
    // Shared with the demo script: the system bus's policy, listening on a socket of our own.
    std::string config = readFile(VZ_SOURCE_DIR "/scripts/private-system-bus.conf");
    const auto at = config.find("@SOCKET_PATH@");
    if (at == std::string::npos)
        throw std::runtime_error("no socket placeholder in private-system-bus.conf");
    config.replace(at, 13, folder_.file("system_bus_socket"));
    writeFile(folder_.file("system.conf"), config);
    // Its complaints as an unprivileged daemon would drown the test output; kept for a failure.
    const std::string log = folder_.file("daemon.log");
    const std::string command = "exec /usr/bin/dbus-daemon --nofork --nopidfile --nosyslog "
                                "--print-address=1 --print-pid=1 --config-file='" +
                                folder_.file("system.conf") + "' 2>'" + log + "'";
    out_ = popen(command.c_str(), "re");
    char address[1024] = "", pid[32] = ""; // printed once it listens
    if (!out_ || !fgets(address, sizeof address, out_) || !fgets(pid, sizeof pid, out_) ||
        (pid_ = std::atoi(pid)) <= 0) {
        if (out_)
            pclose(out_);
        throw std::runtime_error("dbus-daemon did not start: " + readFile(log));
    }
    pointAt(std::string(address, std::strcspn(address, "\n")));
}

DbusDaemon::~DbusDaemon() {
    kill(pid_, SIGTERM);
    pclose(out_);
}

SilentBus::SilentBus() : fd_(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const std::string path = folder_.file("silent_socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd_ || path.size() >= sizeof address.sun_path)
        throw std::runtime_error("cannot make a socket");
    path.copy(address.sun_path, path.size());
    // Never accepted: the kernel completes connections into the backlog and nobody answers.
    if (bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_.get(), 16) != 0)
        throw std::runtime_error("cannot listen on " + path);
    pointAt("unix:path=" + path);
}

} // namespace vztest
