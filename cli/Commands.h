#pragma once

// The commands of vivozi. Each command's file adds the command and its options to the program's
// command line and hands back what runs it; main.cpp parses the line and runs the one given.
// A command prints its answer and returns the exit status.

#include <functional>
#include <stdexcept>
#include <vector>

class PlistValue;

namespace CLI {
class App;
}

namespace vivozi {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1; // no answer, or a set that failed
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130; // 128 + SIGINT, as shells report it

// A bad argument found after parsing; main prints it on one line and exits with kExitUsage.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Command {
    CLI::App* commandLine; // parsed() tells whether the line named it
    std::function<int()> run;
};

// json is the program's own --json flag: the one each command adds sets it too, so that
// `vivozi --json COMMAND` and `vivozi COMMAND --json` mean the same. It must outlive the commands.
Command addReportCommand(CLI::App& app, bool& json); // also the program's --all
Command addRunCommand(CLI::App& app, bool& json);
Command addWatchCommand(CLI::App& app, bool& json);
Command addDfCommand(CLI::App& app, bool& json);
// status, history and log, in that order.
std::vector<Command> addJournalCommands(CLI::App& app, bool& json);
Command addListCommand(CLI::App& app, bool& json);
Command addMetricsCommand(CLI::App& app);
// size, compare, mount-of, device-of, apfs and tmutil, in that order.
std::vector<Command> addQueryCommands(CLI::App& app, bool& json);

// Whether Full Disk Access means something here (the report and metrics show it only then).
bool fullDiskAccessApplies(const PlistValue& versionDictionary);

// A template only so that this header need not include the command-line parser.
template <class App> void addJsonFlag(App& command, bool& json) {
    command.add_flag("--json", json, "Print the answer as JSON");
}

} // namespace vivozi
