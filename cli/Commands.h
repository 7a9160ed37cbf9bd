#pragma once

// The commands of vivozi. Each command's file adds the command's options and arguments to its
// command line and hands back what runs it; main.cpp builds only the command the line names,
// parses the line and runs it. A command prints its answer and returns the exit status.

#include "cli/CommandLine.h"

#include <functional>
#include <stdexcept>

class PlistValue;

namespace vivozi {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1; // no answer, or a set that failed
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130; // 128 + SIGINT, as shells report it

// A bad argument; main prints it on one line and exits with kExitUsage.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// What runs a command once its line is parsed.
using Runner = std::function<int()>;

// json is the program's own --json flag: the one each command adds sets it too, so that
// `vivozi --json COMMAND` and `vivozi COMMAND --json` mean the same. It must outlive the runner.
// The report adds --json, --all and --color both to the program's line and to `vivozi report`.
Runner addReportCommand(CommandLine& line, bool& json);
Runner addRunCommand(CommandLine& line, bool& json);
Runner addStatusCommand(CommandLine& line, bool& json);
Runner addHistoryCommand(CommandLine& line, bool& json);
Runner addLogCommand(CommandLine& line, bool& json);
Runner addListCommand(CommandLine& line, bool& json);
Runner addWatchCommand(CommandLine& line, bool& json);
Runner addDfCommand(CommandLine& line, bool& json);
Runner addMetricsCommand(CommandLine& line, bool& json);
Runner addSizeCommand(CommandLine& line, bool& json);
Runner addCompareCommand(CommandLine& line, bool& json);
Runner addMountOfCommand(CommandLine& line, bool& json);
Runner addDeviceOfCommand(CommandLine& line, bool& json);
Runner addApfsCommand(CommandLine& line, bool& json);
Runner addTmutilCommand(CommandLine& line, bool& json);

// Whether Full Disk Access means something here (the report and metrics show it only then).
bool fullDiskAccessApplies(const PlistValue& versionDictionary);

inline void addJsonFlag(CommandLine& line, bool& json) {
    line.flag("--json", json, "Print the answer as JSON");
}

} // namespace vivozi
