#pragma once

// Runs the vivozi program the way a user does, in a pipe or on a pseudo-terminal, with a home of
// its own: its version cache, demo folder and bus are the test's.

#include "support/TestSupport.h"

#include <VivoziZevidodirid/Task.h>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace clitest {

// The environment a test's vivozi runs in: this process's, with the defaults store and the demo
// folder moved into folder, and the bus set to what DBUS_SYSTEM_BUS_ADDRESS says now (a test
// without a bus of its own gets a socket where nobody listens, so it never posts to the
// machine's real bus).
std::vector<std::string> childEnvironment(const vztest::TempDir& folder);

struct Finished {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// A vivozi started with its standard output and error in pipes.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment);
    ~Child(); // a child still running is terminated and reaped
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const;
    void signal(int number) const;

    // Reads until the standard output (or error) so far contains text; false when the stream
    // ends first, or nothing arrives within limit (a guard against a hang, not a measurement).
    bool waitForOut(const std::string& text,
                    std::chrono::milliseconds limit = std::chrono::seconds(60));
    bool waitForErr(const std::string& text,
                    std::chrono::milliseconds limit = std::chrono::seconds(60));

    // Reads both streams to their end, then reaps the child.
    Finished finish();

private:
    bool pump(int timeoutMilliseconds);
    bool waitFor(const std::string& stream, const std::string& text,
                 std::chrono::milliseconds limit, bool fromOut);

    std::shared_ptr<kx::Task> task_;
    int out_ = -1;
    int err_ = -1;
    std::string outText_;
    std::string errText_;
};

// Runs vivozi with the arguments to its end.
Finished runVivozi(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment);

// Runs vivozi on a pseudo-terminal of the given width and returns all it wrote there.
Finished runOnTerminal(const std::vector<std::string>& arguments,
                       const std::vector<std::string>& environment, unsigned short columns);

// Waits until a file exists and is not empty; false when it still is not after a minute (a guard
// against a hang, not a measurement).
bool waitForFile(const std::string& path);

using vztest::lines;
using vztest::processAlive;

// The processes of this user whose environment holds the exact entry "NAME=value".
std::vector<pid_t> processesWithEnvironmentEntry(const std::string& entry);

} // namespace clitest
