#include "support/DbusDaemon.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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
    const std::string configPath = folder_.file("system.conf"), log = folder_.file("daemon.log");
    writeFile(configPath, config);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make a pipe for dbus-daemon");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // Its complaints as an unprivileged daemon would drown the test output; kept for a failure.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string configArgument = "--config-file=" + configPath;
    const char* argv[] = {"dbus-daemon", configArgument.c_str(), "--nofork", "--nopidfile",
                          "--nosyslog",  "--print-address",      nullptr};
    const int spawned = posix_spawn(&pid_, "/usr/bin/dbus-daemon", &actions, nullptr,
                                    const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string address; // printed once it listens
    for (char c; spawned == 0 && read(out[0], &c, 1) == 1 && c != '\n';)
        address += c;
    close(out[0]);
    if (address.empty()) {
        if (spawned == 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        throw std::runtime_error("dbus-daemon did not start: " + readFile(log));
    }
    pointAt(address);
}

DbusDaemon::~DbusDaemon() {
    if (pid_ > 0 && kill(pid_, SIGTERM) == 0)
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
}

SilentBus::SilentBus() {
    const std::string path = folder_.file("silent_socket");
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd_ < 0 || path.size() >= sizeof address.sun_path)
        throw std::runtime_error("cannot make a socket");
    path.copy(address.sun_path, path.size());
    // Never accepted: the kernel completes connections into the backlog and nobody answers.
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 16) != 0)
        throw std::runtime_error("cannot listen on " + path);
    pointAt("unix:path=" + path);
}

SilentBus::~SilentBus() {
    close(fd_);
}

} // namespace vztest
