// vivozi: the command line host of the VivoziZevidodirid library.
#include "cli/Commands.h"
#include "cli/Layout.h"
#include "cli/Output.h"

#include <CLI/CLI.hpp>
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <algorithm>
#include <iostream>

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

// One line for whatever the parser objected to.
std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

int usageError(const std::string& message) {
    std::cerr << "vivozi: " << oneLine(message) << '\n';
    return kExitUsage;
}

// The program's own options take no value, so the first word that is not an option names the
// command; a word that names none builds none, and the parser reports it as it would otherwise.
Wanted wantedBy(int argc, char** argv) {
    Wanted wanted;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "-h" || word == "--help" || word == "--help-all")
            wanted.all = true;
        else if (wanted.named.empty() && !word.empty() && word.front() != '-')
            wanted.named = word;
    }
    return wanted;
}

int runCommandLine(int argc, char** argv) {
    CLI::App app{"Runs the periodic maintenance sets and answers questions about this system and "
                 "its disks.",
                 "vivozi"};
    app.set_version_flag("--version", versionText(), "Print the program and library versions");
    app.footer(kFooter);
    app.require_subcommand(0, 1);

    bool json = false;
    addJsonFlag(app, json);
    const Wanted wanted = wantedBy(argc, argv);
    const Command report = addReportCommand(app, json, wanted);
    std::vector<Command> commands;
    for (const auto add : {addRunCommand, addJournalCommands, addListCommand, addWatchCommand,
                           addDfCommand, addMetricsCommand, addQueryCommands})
        for (Command& command : add(app, json, wanted))
            commands.push_back(std::move(command));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ExtrasError& e) {
        const std::vector<std::string> extras = app.remaining();
        if (app.get_subcommands().empty() && !extras.empty() && extras.front().rfind('-', 0) != 0)
            return usageError("unknown command '" + extras.front() + "' (see vivozi --help)");
        return usageError(e.what());
    } catch (const CLI::RequiredError& e) {
        // An unknown option is the mistake to report, not the argument it kept from being read.
        for (const CLI::App* command : app.get_subcommands())
            for (const std::string& extra : command->remaining())
                if (extra.rfind('-', 0) == 0)
                    return usageError("The following argument was not expected: " + extra);
        return usageError(e.what());
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }

    try {
        for (const Command& command : commands)
            if (command.commandLine->parsed())
                return command.run();
        return report.run(); // `vivozi` alone, or `vivozi report`
    } catch (const UsageError& e) {
        return usageError(e.what());
    } catch (const std::exception& e) {
        std::cerr << "vivozi: " << oneLine(e.what()) << '\n';
        return kExitFailure;
    }
}

} // namespace

int main(int argc, char** argv) {
    return finishOutput(runCommandLine(argc, argv));
}
