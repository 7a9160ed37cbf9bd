#pragma once

// The commands of vivozi. Each command's file adds the command and its options to the program's
// command line and hands back what runs it; main.cpp parses the line and runs the one given.
// A command prints its answer and returns the exit status.

#include <functional>
#include <stdexcept>
#include <string_view>
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
    CLI::App* commandLine = nullptr; // parsed() tells whether the line named it; null: not built
    std::function<int()> run;
};

// The commands a line needs built: the one it names, or all of them when it asks for help.
// Building every command's options took a third of the start-up of a short query.
struct Wanted {
    std::string_view named;
    bool all = false;
    bool operator()(std::string_view command) const { return all || command == named; }
};

// json is the program's own --json flag: the one each command adds sets it too, so that
// `vivozi --json COMMAND` and `vivozi COMMAND --json` mean the same. It must outlive the commands.
// The report: the program's own --all and --color always, its command when wanted.
Command addReportCommand(CLI::App& app, bool& json, const Wanted& wanted);
// Each of these adds what is wanted of its commands, in the order --help lists them.
std::vector<Command> addRunCommand(CLI::App& app, bool& json, const Wanted& wanted);
std::vector<Command> addWatchCommand(CLI::App& app, bool& json, const Wanted& wanted);
std::vector<Command> addDfCommand(CLI::App& app, bool& json, const Wanted& wanted);
// status, history and log.
std::vector<Command> addJournalCommands(CLI::App& app, bool& json, const Wanted& wanted);
std::vector<Command> addListCommand(CLI::App& app, bool& json, const Wanted& wanted);
std::vector<Command> addMetricsCommand(CLI::App& app, bool& json, const Wanted& wanted);
// size, compare, mount-of, device-of, apfs and tmutil.
std::vector<Command> addQueryCommands(CLI::App& app, bool& json, const Wanted& wanted);

// Whether Full Disk Access means something here (the report and metrics show it only then).
bool fullDiskAccessApplies(const PlistValue& versionDictionary);

// A template only so that this header need not include the command-line parser.
template <class App> void addJsonFlag(App& command, bool& json) {
    command.add_flag("--json", json, "Print the answer as JSON");
}

} // namespace vivozi
