#include "support/DbusDaemon.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vztest {
namespace {

constexpr char kVariable[] = "DBUS_SYSTEM_BUS_ADDRESS";

// Shared with the demo script: the system bus's policy, listening on a socket of our own.
constexpr char kConfigTemplate[] = VZ_SOURCE_DIR "/scripts/private-system-bus.conf";
constexpr std::string_view kSocketPlaceholder = "@SOCKET_PATH@";

std::string busConfig(const std::string& socketPath) {
    std::string config = readFile(kConfigTemplate);
    const auto at = config.find(kSocketPlaceholder);
    if (at == std::string::npos)
        throw std::runtime_error(std::string("no socket placeholder in ") + kConfigTemplate);
    return config.replace(at, kSocketPlaceholder.size(), socketPath);
}

} // namespace

ScopedBus::~ScopedBus() {
    if (!pointed_)
        return;
    if (saved_)
        setenv(kVariable, saved_->c_str(), 1);
    else
        unsetenv(kVariable);
}

void ScopedBus::pointAt(const std::string& address) {
    if (!pointed_) {
        const char* previous = std::getenv(kVariable);
        saved_ = previous ? std::optional<std::string>(previous) : std::nullopt;
        pointed_ = true;
    }
    setenv(kVariable, address.c_str(), 1);
}

DbusDaemon::DbusDaemon(const std::string& socketPath) {
    const std::string config = folder_.file("system.conf");
    writeFile(config,
              busConfig(socketPath.empty() ? folder_.file("system_bus_socket") : socketPath));

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot make a pipe for dbus-daemon");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    // Its complaints about what an unprivileged daemon cannot do (raise its descriptor limit)
    // would drown the test output; they are kept for when it fails to start.
    const std::string log = folder_.file("dbus-daemon.log");
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string configArgument = "--config-file=" + config;
    char* argv[] = {const_cast<char*>("dbus-daemon"),
                    const_cast<char*>(configArgument.c_str()),
                    const_cast<char*>("--nofork"),
                    const_cast<char*>("--nopidfile"),
                    const_cast<char*>("--nosyslog"),
                    const_cast<char*>("--print-address"),
                    nullptr};
    const int spawned =
        posix_spawn(&pid_, "/usr/bin/dbus-daemon", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        close(out[0]);
        pid_ = -1;
        throw std::runtime_error("cannot start /usr/bin/dbus-daemon");
    }

    std::string address; // printed once it listens
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n')
        address += c;
    close(out[0]);
    if (address.empty()) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        throw std::runtime_error("dbus-daemon printed no address: " + readFile(log));
    }
    pointAt(address);
}

DbusDaemon::~DbusDaemon() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
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
    if (fd_ >= 0)
        close(fd_);
}

} // namespace vztest
