#pragma once

// The commands of vivozi, one function each; main.cpp parses the command line and calls them.
// Each prints its answer and returns the exit status.

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vivozi {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1; // no answer, or a set that failed
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130; // 128 + SIGINT, as shells report it

// A bad argument found after parsing; main prints it on one line and exits with kExitUsage.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ReportOptions {
    bool json = false;
    bool all = false; // also file systems with no capacity (proc, sysfs, cgroup...)
};
int reportCommand(const ReportOptions& options);

struct RunOptions {
    std::vector<std::string> names;
    bool demo = false;
    std::optional<std::string> setsFolder; // sets of one's own: <folder>/<name>/
    std::optional<std::string> demoFolder; // where the sample sets work
    bool json = false;
};
int runCommand(const RunOptions& options);

struct WatchOptions {
    bool json = false;
    std::optional<std::size_t> count; // stop after this many notifications
};
int watchCommand(const WatchOptions& options);

int sizeCommand(const std::vector<std::string>& byteCounts, bool mebibytes, bool json);
int compareCommand(const std::string& version, bool json);
int mountOfCommand(const std::string& device, bool json);
int deviceOfCommand(const std::string& mountPoint, bool json);
int apfsCommand(const std::string& name, bool json);
int tmutilCommand(const std::vector<std::string>& arguments, bool json);

} // namespace vivozi
