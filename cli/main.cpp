// vivozi: the command line host of the VivoziZevidodirid library.
#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Layout.h"
#include "cli/Output.h"

#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using namespace vivozi;

std::string versionText() {
    std::string library(reinterpret_cast<const char*>(VivoziZevidodiridVersionString));
    // The what(1) marker and the closing line feed are for tools, not for people.
    if (library.rfind("@(#)", 0) == 0)
        library.erase(0, 4);
    while (!library.empty() && library.back() == '\n')
        library.pop_back();
    char number[32];
    std::snprintf(number, sizeof number, "%.1f", VivoziZevidodiridVersionNumber);
    return std::string("vivozi ") + VIVOZI_VERSION + "\nlibrary VivoziZevidodirid " + number +
           " (" + library + ")";
}

constexpr char kFooter[] = R"(
With no command, prints the system report.

Examples:
  vivozi                          system version, volumes and Full Disk Access
  vivozi run --demo daily weekly  run the bundled sample sets with a progress bar
  vivozi status                   when each set last ran and how it went
  vivozi log daily                the newest run of daily, its scripts and their output
  vivozi list daily               the scripts daily would run, in order
  vivozi watch                    print the progress of every run on this machine
  vivozi df ~                     the volume holding a path, and the space left on it
  vivozi size 1536 1e9            size text of byte counts
  vivozi compare 11.4             is the running system older than 11.4?
  vivozi --json | jq .volumes     any command's answer as JSON

Exit status: 0 done, 1 no answer or a set failed, 2 bad command line,
128 + signal number for a run stopped by a signal (130 for Ctrl-C).
Run 'vivozi COMMAND --help' for a command's own options.
)";

int usageError(const std::string& message) {
    // One line, whatever the words it quotes hold.
    err << "vivozi: " << escapeForTerminal(message) << '\n';
    return kExitUsage;
}

struct CommandEntry {
    const char* name;
    const char* about;
    Runner (*add)(CommandLine& line, bool& json);
};

// In the order --help lists them.
constexpr CommandEntry kCommands[] = {
    {"report", "The system report (what vivozi alone prints)", addReportCommand},
    {"run", "Run maintenance sets one after the other, showing progress; Ctrl-C cancels",
     addRunCommand},
    {"status", "When each maintenance set last ran, how it went and its last success",
     addStatusCommand},
    {"history", "The runs of every set, or of SET, newest first", addHistoryCommand},
    {"log", "One run of SET with its scripts and their output (the newest unless RUN)",
     addLogCommand},
    {"list", "The scripts each set would run, in order, and the files it leaves out; runs nothing",
     addListCommand},
    {"watch", "Print every progress broadcast (time, percent, status, set) until Ctrl-C",
     addWatchCommand},
    {"df", "Size, used and available space of the volumes, or of the one holding each PATH",
     addDfCommand},
    {"metrics", "Volumes, maintenance runs and Full Disk Access for Prometheus", addMetricsCommand},
    {"size", "Size text of byte counts", addSizeCommand},
    {"compare", "Compare the running system's version with VERSION (older, same, newer)",
     addCompareCommand},
    {"mount-of", "Where DEVICE is mounted (/dev/sda1 or sda1)", addMountOfCommand},
    {"device-of", "What is mounted exactly at MOUNTPOINT", addDeviceOfCommand},
    {"apfs", "The APFS container of NAME, its System/Data/Preboot/Recovery volumes and role",
     addApfsCommand},
    {"tmutil", "Run the Time Machine tool with ARGS and print its property list", addTmutilCommand},
};

std::string commandList() {
    std::vector<std::pair<std::string, std::string>> rows;
    for (const CommandEntry& command : kCommands)
        rows.emplace_back(command.name, command.about);
    return "\nCommands:\n" + helpColumns(rows);
}

// The program's own options come before the command; the command's line is read only when the
// program's was, and only the command named is built.
int runCommandLine(int argc, char** argv) {
    bool json = false, version = false;
    CommandLine program("vivozi", "Runs the periodic maintenance sets and answers questions about "
                                  "this system and its disks.");
    program.flag("--version", version, "Print the program and library versions");
    Runner run = addReportCommand(program, json);
    std::vector<std::string> command;
    program.argument("COMMAND", CommandLine::Arity::Rest, into(command), "");
    try {
        if (!program.parse(std::span(argv, static_cast<std::size_t>(argc)))) {
            program.footer(commandList() + kFooter);
            out << program.help();
            return kExitSuccess;
        }
        if (version) {
            out << versionText() << '\n';
            return kExitSuccess;
        }
        if (!command.empty()) {
            const auto named =
                std::find_if(std::begin(kCommands), std::end(kCommands),
                             [&](const CommandEntry& entry) { return command[0] == entry.name; });
            if (named == std::end(kCommands))
                throw UsageError("unknown command '" + command[0] + "' (see vivozi --help)");
            CommandLine line(std::string("vivozi ") + named->name, named->about);
            run = named->add(line, json);
            std::vector<char*> words;
            for (std::string& word : command)
                words.push_back(word.data());
            if (!line.parse(words)) {
                out << line.help();
                return kExitSuccess;
            }
        }
    } catch (const UsageError& e) {
        return usageError(e.what());
    }

    try {
        return run();
    } catch (const UsageError& e) {
        return usageError(e.what());
    } catch (const std::exception& e) {
        err << "vivozi: " << escapeForTerminal(e.what()) << '\n';
        return kExitFailure;
    }
}

} // namespace

int main(int argc, char** argv) {
    return finishOutput(runCommandLine(argc, argv));
}
