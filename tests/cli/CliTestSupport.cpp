#include "cli/CliTestSupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <unistd.h>

extern char** environ;

namespace clitest {
namespace {

using Clock = std::chrono::steady_clock;

// Appends what one read gives; false at the end of the stream.
bool readInto(int fd, std::string& text) {
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
            return true;
        }
        if (got < 0 && errno == EINTR)
            continue;
        return false; // end of file, or EIO once a terminal's last writer has gone
    }
}

} // namespace

std::vector<std::string> childEnvironment(const vztest::TempDir& folder) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (name != "XDG_CONFIG_HOME" && name != "XDG_STATE_HOME" &&
            name != "DBUS_SYSTEM_BUS_ADDRESS" && name != "NO_COLOR")
            environment.push_back(text);
    }
    environment.push_back("XDG_CONFIG_HOME=" + folder.file("config"));
    environment.push_back("XDG_STATE_HOME=" + folder.file("state"));
    const char* bus = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    environment.push_back(
        "DBUS_SYSTEM_BUS_ADDRESS=" +
        (bus && *bus ? std::string(bus) : "unix:path=" + folder.file("no-bus-here")));
    return environment;
}

Child::Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
             unsigned short terminalColumns)
    : task_(std::make_shared<kx::Task>()) {
    task_->setLaunchPath(VIVOZI_BINARY);
    task_->setArguments(arguments);
    task_->setEnvironment(environment);
    task_->setStandardInput(kx::Stdio::nullDevice());
    int screen = -1;
    if (terminalColumns > 0) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = terminalColumns;
        if (openpty(&out_, &screen, nullptr, nullptr, &size) != 0)
            throw std::runtime_error("openpty failed");
        task_->setStandardOutput(kx::Stdio::file(screen));
        task_->setStandardError(kx::Stdio::file(screen));
    } else {
        task_->setStandardOutput(kx::Stdio::pipe());
        task_->setStandardError(kx::Stdio::pipe());
    }
    const std::error_code error = task_->launch();
    if (screen >= 0)
        close(screen); // the terminal then ends when the child's copies close
    if (error)
        throw std::runtime_error("cannot start vivozi: " + error.message());
    if (screen < 0) {
        out_ = task_->takeStandardOutput();
        err_ = task_->takeStandardError();
    }
}

Child::~Child() {
    if (task_->isRunning()) {
        task_->terminate();
        task_->waitUntilExit();
    }
    for (const int fd : {out_, err_})
        if (fd >= 0)
            close(fd);
}

void Child::signal(int number) const {
    kill(task_->processIdentifier(), number);
}

void Child::pump(int timeoutMilliseconds) {
    pollfd streams[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (poll(streams, 2, timeoutMilliseconds) <= 0)
        return;
    for (int i = 0; i < 2; ++i) {
        int& fd = i == 0 ? out_ : err_;
        if (fd >= 0 && streams[i].revents != 0 && !readInto(fd, i == 0 ? outText_ : errText_)) {
            close(fd);
            fd = -1;
        }
    }
}

bool Child::waitFor(const std::string& text, const int& fd, const std::string& stream) {
    const auto deadline = Clock::now() + std::chrono::minutes(1);
    while (stream.find(text) == std::string::npos) {
        if (fd < 0 || Clock::now() > deadline)
            return false;
        pump(100);
    }
    return true;
}

Finished Child::finish() {
    while (out_ >= 0 || err_ >= 0)
        pump(-1);
    task_->waitUntilExit();
    return {task_->terminationStatus(), outText_, errText_};
}

Finished runVivozi(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment) {
    return Child(arguments, environment).finish();
}

bool waitForFile(const std::string& path) {
    const auto deadline = Clock::now() + std::chrono::minutes(1);
    while (vztest::readFile(path).empty()) {
        if (Clock::now() > deadline)
            return false;
        usleep(20 * 1000);
    }
    return true;
}

} // namespace clitest
