#include "cli/CliTestSupport.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace clitest {
namespace {

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

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
    static const char* const kReplaced[] = {
        "XDG_CONFIG_HOME=", "XDG_STATE_HOME=", "DBUS_SYSTEM_BUS_ADDRESS=", "NO_COLOR="};
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        bool replaced = false;
        for (const char* prefix : kReplaced)
            replaced = replaced || startsWith(text, prefix);
        if (!replaced)
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

Child::Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment)
    : task_(std::make_shared<kx::Task>()) {
    task_->setLaunchPath(VIVOZI_BINARY);
    task_->setArguments(arguments);
    task_->setEnvironment(environment);
    task_->setStandardInput(kx::Stdio::nullDevice());
    task_->setStandardOutput(kx::Stdio::pipe());
    task_->setStandardError(kx::Stdio::pipe());
    if (const std::error_code error = task_->launch())
        throw std::runtime_error("cannot start vivozi: " + error.message());
    out_ = task_->takeStandardOutput();
    err_ = task_->takeStandardError();
}

Child::~Child() {
    if (task_->isRunning()) {
        task_->terminate();
        task_->waitUntilExit();
    }
    if (out_ >= 0)
        close(out_);
    if (err_ >= 0)
        close(err_);
}

pid_t Child::pid() const {
    return task_->processIdentifier();
}

void Child::signal(int number) const {
    kill(pid(), number);
}

bool Child::pump(int timeoutMilliseconds) {
    pollfd streams[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    const int ready = poll(streams, 2, timeoutMilliseconds);
    if (ready <= 0)
        return ready == 0 || errno == EINTR;
    for (int i = 0; i < 2; ++i) {
        int& fd = i == 0 ? out_ : err_;
        if (fd >= 0 && streams[i].revents != 0 && !readInto(fd, i == 0 ? outText_ : errText_)) {
            close(fd);
            fd = -1;
        }
    }
    return true;
}

bool Child::waitFor(const std::string& stream, const std::string& text,
                    std::chrono::milliseconds limit, bool fromOut) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (stream.find(text) == std::string::npos) {
        if ((fromOut ? out_ : err_) < 0 || std::chrono::steady_clock::now() > deadline)
            return false;
        pump(100);
    }
    return true;
}

bool Child::waitForOut(const std::string& text, std::chrono::milliseconds limit) {
    return waitFor(outText_, text, limit, true);
}

bool Child::waitForErr(const std::string& text, std::chrono::milliseconds limit) {
    return waitFor(errText_, text, limit, false);
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

Finished runOnTerminal(const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment, unsigned short columns) {
    // Everything the child needs is made before the fork: after it, only exec.
    std::vector<std::string> argumentStrings{VIVOZI_BINARY};
    argumentStrings.insert(argumentStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argumentStrings)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environmentStrings = environment;
    std::vector<char*> envp;
    for (std::string& variable : environmentStrings)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    winsize size{};
    size.ws_row = 24;
    size.ws_col = columns;
    int terminal = -1;
    const pid_t pid = forkpty(&terminal, nullptr, nullptr, &size);
    if (pid < 0)
        throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    Finished finished;
    while (readInto(terminal, finished.out)) {
    }
    close(terminal);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return finished;
}

bool waitForFile(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (vztest::readFile(path).empty()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        usleep(20 * 1000);
    }
    return true;
}

std::vector<pid_t> processesWithEnvironmentEntry(const std::string& entry) {
    std::vector<pid_t> found;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc)
        return found;
    while (const dirent* item = readdir(proc.get())) {
        const std::string name = item->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        // Entries are NUL-terminated; unreadable ones (other users') come back empty.
        const std::string environment = vztest::readFile("/proc/" + name + "/environ");
        std::size_t start = 0;
        while (start < environment.size()) {
            const std::size_t end = environment.find('\0', start);
            if (environment.compare(start, end - start, entry) == 0 && processAlive(pid)) {
                found.push_back(pid);
                break;
            }
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    return found;
}

} // namespace clitest
