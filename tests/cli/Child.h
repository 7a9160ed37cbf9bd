// vivozi and the tools around it run by sh as a user runs them, with a home of the test's own.
#pragma once

#include "cli/Format.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Task.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <regex>
#include <unistd.h>

namespace vztest {

using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Whether the text holds each of parts, in this order.
inline bool holds(const std::string& text, std::initializer_list<std::string> parts) {
    std::size_t at = 0;
    for (const std::string& part : parts)
        if ((at = text.find(part, at)) == std::string::npos)
            return false;
    return true;
}

inline std::string quote(const std::string& text) {
    return vivozi::shellQuote(text);
}

// vivozi and its arguments as one line for sh.
inline std::string line(const Args& arguments) {
    std::string text = quote(VIVOZI_BINARY);
    for (const std::string& argument : arguments)
        text += " " + quote(argument);
    return text;
}

struct Finished {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

// sh running a command line with the test's own config, state, journal, system sets ("etc", empty)
// and temporary folder in `home`, and without a test bus a socket where nobody listens, so that
// nothing posts to the real bus. Its output and error go to files, or its output to a pipe that
// nobody reads.
class Child {
public:
    Child(const std::string& command, const TempDir& home, bool unread = false) {
        const auto in = [&home](const char* name) { return quote(home.file(name)); };
        std::filesystem::create_directories(home.file("tmp"));
        task_.setLaunchPath("/bin/sh");
        task_.setArguments(
            {"-c", "unset NO_COLOR; export XDG_CONFIG_HOME=" + in("config") + " XDG_STATE_HOME=" +
                       in("state") + " VIVOZI_JOURNAL=" + in("journal/journal.sqlite") +
                       " VIVOZI_PERIODIC_ROOT=" + in("etc") + " TMPDIR=" + in("tmp") +
                       " DBUS_SYSTEM_BUS_ADDRESS=${DBUS_SYSTEM_BUS_ADDRESS:-unix:path=" +
                       in("no-bus") + "}; exec 2>" + quote(files_.file("err")) +
                       (unread ? "" : " >" + quote(files_.file("out"))) + "; " + command});
        task_.setStandardInput(kx::Stdio::nullDevice());
        task_.setStandardOutput(kx::Stdio::pipe());
        if (task_.launch())
            throw std::runtime_error("cannot start sh");
        pipe_ = task_.takeStandardOutput();
    }
    ~Child() {
        if (task_.isRunning()) {
            task_.terminate();
            if (!endsWithin(15s)) // a vivozi that does not stop must not hang the suite
                signal(SIGKILL);
            task_.waitUntilExit();
        }
    }
    void signal(int number) { kill(task_.processIdentifier(), number); }
    bool endsWithin(std::chrono::milliseconds time) {
        return eventually([this] { return !task_.isRunning(); }, time);
    }
    bool shows(const char* stream, const std::string& text) {
        return eventually([&] { return contains(readFile(files_.file(stream)), text); });
    }
    Finished finish() {
        task_.waitUntilExit();
        return {task_.terminationStatus(), readFile(files_.file("out")),
                readFile(files_.file("err"))};
    }

private:
    TempDir files_;
    kx::Task task_;
    kx::FileDescriptor pipe_;
};

// A command line in a home of its own that is gone when it ends.
inline Finished shell(const std::string& command) {
    const TempDir home;
    return Child(command, home).finish();
}

} // namespace vztest
