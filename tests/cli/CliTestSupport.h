#pragma once

// Runs the vivozi program the way a user does, in pipes or on a pseudo-terminal, with a home of
// its own: its version cache, demo folder and bus are the test's.

#include "support/TestSupport.h"

#include <VivoziZevidodirid/Task.h>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace clitest {

// This process's environment with the defaults store moved into folder and the bus set to what
// DBUS_SYSTEM_BUS_ADDRESS says now; without one, a socket where nobody listens, so that a test
// never posts to the machine's real bus.
std::vector<std::string> childEnvironment(const vztest::TempDir& folder);

struct Finished {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// A vivozi started with its standard output and error in pipes, or both on a pseudo-terminal
// of the given width; terminated and reaped when it is still running at the end of its scope.
class Child {
public:
    Child(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
          unsigned short terminalColumns = 0);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void signal(int number) const;
    // Reads until the output (or error) so far contains text; false when the stream ends first or
    // a minute passes (a guard against a hang, not a measurement).
    bool waitForOut(const std::string& text) { return waitFor(text, out_, outText_); }
    bool waitForErr(const std::string& text) { return waitFor(text, err_, errText_); }
    Finished finish(); // reads both streams to their end, then reaps

private:
    void pump(int timeoutMilliseconds);
    bool waitFor(const std::string& text, const int& fd, const std::string& stream);

    std::shared_ptr<kx::Task> task_;
    int out_ = -1;
    int err_ = -1;
    std::string outText_;
    std::string errText_;
};

Finished runVivozi(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment);

// False when the file is still missing or empty after a minute.
bool waitForFile(const std::string& path);

} // namespace clitest
