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
  vivozi watch                    print the progress of every run on this machine
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

int runCommandLine(int argc, char** argv) {
    CLI::App app{"Runs the periodic maintenance sets and answers questions about this system and "
                 "its disks.",
                 "vivozi"};
    app.set_version_flag("--version", versionText(), "Print the program and library versions");
    app.footer(kFooter);
    app.require_subcommand(0, 1);

    bool json = false;
    const auto jsonFlag = [&json](CLI::App* command) {
        command->add_flag("--json", json, "Print the answer as JSON");
    };
    ReportOptions report;
    jsonFlag(&app);
    app.add_flag("--all", report.all, "Also list file systems without capacity (proc, sysfs, ...)");

    CLI::App* reportCommandLine =
        app.add_subcommand("report", "The system report (what vivozi alone prints)");
    jsonFlag(reportCommandLine);
    reportCommandLine->add_flag("--all", report.all,
                                "Also list file systems without capacity (proc, sysfs, ...)");

    RunOptions run;
    CLI::App* runCommandLine = app.add_subcommand(
        "run", "Run maintenance sets one after the other, showing progress; Ctrl-C cancels");
    runCommandLine->add_option("NAME", run.names, "Sets to run, in order (daily, weekly, ...)")
        ->required();
    CLI::Option* demo = runCommandLine->add_flag(
        "--demo", run.demo,
        "Run the bundled sample sets instead of the system's; they work in --demo-dir");
    std::string demoFolder;
    runCommandLine
        ->add_option("--demo-dir", demoFolder,
                     "Folder the sample sets work in (default "
                     "${XDG_STATE_HOME:-$HOME/.local/state}/vivozi-demo)")
        ->needs(demo);
    std::string setsFolder;
    runCommandLine->add_option("--sets", setsFolder, "Run the sets found in DIR/<NAME>/ instead")
        ->excludes(demo)
        ->type_name("DIR");
    jsonFlag(runCommandLine);
    runCommandLine->footer("\nWithout --demo or --sets, the sets are the system's: /etc/periodic/"
                           "NAME/, else /etc/cron.NAME/.\nExit status: 0 when every set "
                           "succeeded, 1 when one failed, 130 after Ctrl-C.\n");

    WatchOptions watch;
    CLI::App* watchCommandLine = app.add_subcommand(
        "watch", "Print every progress broadcast (time, percent, status, set) until Ctrl-C");
    std::size_t count = 0;
    const CLI::Validator wholeNumberAboveZero(
        [](std::string& text) -> std::string {
            const bool digits =
                !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
            if (digits && text.find_first_not_of('0') != std::string::npos && text.size() < 19)
                return "";
            return "'" + text + "' is not a whole number above 0";
        },
        "N");
    watchCommandLine->add_option("--count", count, "Stop after N notifications")
        ->check(wholeNumberAboveZero);
    jsonFlag(watchCommandLine);
    watchCommandLine->footer("\nListens on the D-Bus system bus, or on DBUS_SYSTEM_BUS_ADDRESS "
                             "when set. With --json,\none JSON object per line.\n");

    std::vector<std::string> byteCounts;
    bool mebibytes = false;
    CLI::App* sizeCommandLine = app.add_subcommand("size", "Size text of byte counts");
    sizeCommandLine->add_option("BYTES", byteCounts, "Byte counts (1536, 2.5e9)")->required();
    sizeCommandLine->add_flag("--mb", mebibytes, "Round down to whole mebibytes instead (\"3M\")");
    jsonFlag(sizeCommandLine);

    std::string version;
    CLI::App* compareCommandLine = app.add_subcommand(
        "compare", "Compare the running system's version with VERSION (older, same, newer)");
    compareCommandLine->add_option("VERSION", version, "A version such as 12 or 10.15.7")
        ->required();
    jsonFlag(compareCommandLine);

    std::string device;
    CLI::App* mountOfCommandLine =
        app.add_subcommand("mount-of", "Where DEVICE is mounted (/dev/sda1 or sda1)");
    mountOfCommandLine->add_option("DEVICE", device, "A device, with or without /dev/")->required();
    jsonFlag(mountOfCommandLine);

    std::string mountPoint;
    CLI::App* deviceOfCommandLine =
        app.add_subcommand("device-of", "What is mounted exactly at MOUNTPOINT");
    deviceOfCommandLine->add_option("MOUNTPOINT", mountPoint, "A mount point such as /")
        ->required();
    jsonFlag(deviceOfCommandLine);

    std::string apfsName;
    CLI::App* apfsCommandLine = app.add_subcommand(
        "apfs", "The APFS container of NAME, its System/Data/Preboot/Recovery volumes and role");
    apfsCommandLine->add_option("NAME", apfsName, "A container, physical store or volume (disk1)")
        ->required();
    jsonFlag(apfsCommandLine);

    CLI::App* tmutilCommandLine = app.add_subcommand(
        "tmutil", "Run the Time Machine tool with ARGS and print its property list");
    // Everything from the first word on is the tool's, options included.
    tmutilCommandLine->prefix_command();
    jsonFlag(tmutilCommandLine);
    tmutilCommandLine->footer(
        "\nUsage: vivozi tmutil [--json] ARGS... (vivozi's options come first).\n");

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

    if (count > 0)
        watch.count = count;
    if (!demoFolder.empty())
        run.demoFolder = demoFolder;
    if (!setsFolder.empty())
        run.setsFolder = setsFolder;
    report.json = run.json = watch.json = json;

    try {
        if (runCommandLine->parsed())
            return runCommand(run);
        if (watchCommandLine->parsed())
            return watchCommand(watch);
        if (sizeCommandLine->parsed())
            return sizeCommand(byteCounts, mebibytes, json);
        if (compareCommandLine->parsed())
            return compareCommand(version, json);
        if (mountOfCommandLine->parsed())
            return mountOfCommand(device, json);
        if (deviceOfCommandLine->parsed())
            return deviceOfCommand(mountPoint, json);
        if (apfsCommandLine->parsed())
            return apfsCommand(apfsName, json);
        if (tmutilCommandLine->parsed())
            return tmutilCommand(tmutilCommandLine->remaining(), json);
        return reportCommand(report);
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
