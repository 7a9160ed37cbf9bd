// `vivozi run`: the run goes on a worker thread, since it blocks its caller for its whole length;
// the main thread shows how it goes and turns Ctrl-C into a cancel.
#include "cli/Commands.h"
#include "cli/DemoFolder.h"
#include "cli/Format.h"
#include "cli/Layout.h"
#include "cli/Signals.h"

#include <CLI/CLI.hpp>
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vivozi {
namespace {

// How often the bar is redrawn.
constexpr int kTickMilliseconds = 100;

struct RunOptions {
    std::vector<std::string> names;
    bool demo = false;
    std::optional<std::string> setsFolder; // sets of one's own: <folder>/<name>/
    std::optional<std::string> demoFolder; // where the sample sets work
    bool json = false;
};

struct Outcome {
    std::string name;
    bool succeeded = false;
    std::string status;
};

std::string textOf(const PlistValue& value) {
    return std::string(value.stringValue().value_or("(null)"));
}

// Notes each set's outcome as the run reports it, then lets the run broadcast it as usual.
class ObservedFramework : public VivoziZevidodiridFramework {
public:
    explicit ObservedFramework(Wakeup& wakeup) : wakeup_(wakeup) {}

    void processProgressData(const PlistValue& record) override {
        {
            std::lock_guard lock(mutex_);
            // The run enters a set that succeeded under its position (1, 2, ...), and only then.
            const std::string position = std::to_string(outcomes_.size() + 1);
            outcomes_.push_back({textOf(record["name"]), !record[position].isAbsent(),
                                 textOf(record["taskStatus"])});
        }
        wakeup_.post();
        VivoziZevidodiridFramework::processProgressData(record);
    }

    std::vector<Outcome> outcomes() const {
        std::lock_guard lock(mutex_);
        return outcomes_;
    }

private:
    Wakeup& wakeup_;
    mutable std::mutex mutex_;
    std::vector<Outcome> outcomes_;
};

// For one run, periodic is a small script of ours that hands the stand-in another folder of
// sets. The run starts periodic with an empty environment, so the folder cannot be passed down
// any other way.
class SetsOverride {
public:
    SetsOverride(const fs::path& setsFolder, const std::optional<std::string>& demoFolder) {
        const std::string standIn = kx::systemPaths().periodic;
        std::error_code error;
        if (!fs::exists(standIn, error))
            throw std::runtime_error("the periodic stand-in is missing: " + standIn);
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/vivozi-run.XXXXXX";
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a temporary folder: " +
                                     std::string(std::strerror(errno)));
        folder_ = pattern;
        // The stand-in looks for <root>/periodic/<name>/.
        fs::create_directory(folder_ / "root");
        fs::create_directory_symlink(fs::absolute(setsFolder), folder_ / "root" / "periodic");

        std::string script = "#!/bin/sh\n# Written by vivozi for one run.\n";
        script += "VIVOZI_PERIODIC_ROOT=" + shellQuote((folder_ / "root").string()) +
                  "\nexport VIVOZI_PERIODIC_ROOT\n";
        if (const char* journal = std::getenv("VIVOZI_JOURNAL"); journal && *journal)
            script += "VIVOZI_JOURNAL=" + shellQuote(journal) + "\nexport VIVOZI_JOURNAL\n";
        if (demoFolder)
            script += "VIVOZI_DEMO_DIR=" + shellQuote(*demoFolder) + "\nexport VIVOZI_DEMO_DIR\n";
        script += "exec " + shellQuote(standIn) + " \"$@\"\n";
        const fs::path wrapper = folder_ / "periodic";
        const int fd = open(wrapper.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700);
        const bool written = fd >= 0 && write(fd, script.data(), script.size()) ==
                                            static_cast<ssize_t>(script.size());
        if (fd >= 0)
            close(fd);
        if (!written)
            throw std::runtime_error("cannot write " + wrapper.string());

        saved_ = kx::systemPaths();
        kx::SystemPaths paths = saved_;
        paths.periodic = wrapper.string();
        kx::setSystemPaths(std::move(paths));
    }

    ~SetsOverride() {
        kx::setSystemPaths(saved_);
        std::error_code ignored;
        fs::remove_all(folder_, ignored); // removes the link, never what it points at
    }

    SetsOverride(const SetsOverride&) = delete;
    SetsOverride& operator=(const SetsOverride&) = delete;

private:
    fs::path folder_;
    kx::SystemPaths saved_;
};

// What the user sees while the run goes: a bar redrawn in place on a terminal, one line per set
// otherwise, nothing at all for --json (whose reader wants the document alone).
class Display {
public:
    enum class Mode { Bar, Lines, Quiet };

    explicit Display(Mode mode) : mode_(mode) {}

    void line(const std::string& text) {
        if (mode_ == Mode::Quiet)
            return;
        if (mode_ == Mode::Bar)
            std::cout << kClearLine;
        std::cout << text << '\n';
        if (mode_ == Mode::Bar && barShown_)
            std::cout << barText_;
        std::cout.flush();
    }

    void bar(const BarState& state) {
        if (mode_ != Mode::Bar)
            return;
        std::string text = progressBarLine(state, columns());
        if (barShown_ && text == barText_)
            return;
        barText_ = std::move(text);
        barShown_ = true;
        std::cout << kClearLine << barText_ << std::flush;
    }

    // Takes the bar off the screen, leaving the cursor at the start of an empty line.
    void clear() {
        if (mode_ == Mode::Bar && barShown_)
            std::cout << kClearLine << std::flush;
        barShown_ = false;
    }

private:
    static constexpr char kClearLine[] = "\r\x1b[2K";

    static std::size_t columns() {
        winsize size{};
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
            return size.ws_col;
        return 80;
    }

    Mode mode_;
    bool barShown_ = false;
    std::string barText_;
};

// What the bar says the run is doing: the set it runs, else how the last one went.
std::string activity(const std::vector<std::string>& names, const std::vector<Outcome>& outcomes,
                     bool newTaskSinceLastOutcome) {
    if (outcomes.size() < names.size() && newTaskSinceLastOutcome)
        return "running " + names[outcomes.size()];
    if (!outcomes.empty())
        return outcomes.back().name + (outcomes.back().succeeded ? " succeeded" : " failed");
    return "starting";
}

std::string outcomeLine(const Outcome& outcome, std::size_t position, std::size_t total) {
    return std::to_string(position) + "/" + std::to_string(total) + " " + outcome.name + ": " +
           (outcome.succeeded ? "succeeded, " : "failed, ") + outcome.status;
}

// The folder of sets to run instead of the system's, checked before anything starts.
std::optional<fs::path> overridingFolder(const RunOptions& options) {
    if (!options.demo && !options.setsFolder)
        return std::nullopt;
    fs::path folder;
    if (options.setsFolder) {
        folder = *options.setsFolder;
    } else if (const auto samples = sampleSetsFolder()) {
        folder = *samples;
    } else {
        throw std::runtime_error("the bundled sample sets are not installed");
    }
    std::error_code error;
    if (!fs::is_directory(folder, error))
        throw UsageError("no folder of sets at " + folder.string());
    for (const std::string& name : options.names)
        if (!fs::is_directory(folder / name, error))
            throw UsageError("no set named '" + name + "' in " + folder.string());
    return folder;
}

void printSummary(const std::vector<Outcome>& outcomes, std::size_t total, bool interrupted,
                  const std::optional<std::string>& demoFolder) {
    Table table({{"SET"}, {"OUTCOME"}, {"STATUS"}});
    std::size_t succeeded = 0;
    for (const Outcome& outcome : outcomes) {
        table.addRow({outcome.name, outcome.succeeded ? "succeeded" : "failed", outcome.status});
        succeeded += outcome.succeeded ? 1 : 0;
    }
    std::cout << '\n' << table.render() << '\n';
    std::cout << succeeded << " of " << total << (total == 1 ? " set" : " sets") << " succeeded"
              << (interrupted ? " (interrupted)" : "") << ".\n";
    if (demoFolder)
        std::cout << "The sample sets worked in " << *demoFolder << '\n';
}

void printJson(const std::vector<Outcome>& outcomes, std::size_t total, bool interrupted,
               const std::optional<std::string>& demoFolder) {
    Json sets = Json::array();
    bool allSucceeded = outcomes.size() == total;
    for (const Outcome& outcome : outcomes) {
        sets.push_back(
            {{"name", outcome.name}, {"succeeded", outcome.succeeded}, {"status", outcome.status}});
        allSucceeded = allSucceeded && outcome.succeeded;
    }
    std::cout << dumpJson({{"sets", std::move(sets)},
                           {"succeeded", allSucceeded},
                           {"interrupted", interrupted},
                           {"progress", std::atomic_ref<float>(progress).load()},
                           {"demoFolder", demoFolder ? Json(*demoFolder) : Json()}})
              << '\n';
}

int runCommand(const RunOptions& options) {
    // The names periodic takes, checked before anything runs: a name with a dot, a slash or a
    // blank would be a path, a hidden file or a set that periodic then refuses to know.
    for (const std::string& name : options.names)
        if (!isSetName(name))
            throw UsageError("'" + escapeForTerminal(name) +
                             "' is not a set name (letters, digits, '-' and '_' only)");
    const std::optional<fs::path> setsFolder = overridingFolder(options);
    std::optional<std::string> demoFolder;
    if (options.demo)
        demoFolder = prepareDemoFolder(options.demoFolder);
    std::optional<SetsOverride> override;
    if (setsFolder)
        override.emplace(*setsFolder, demoFolder);

    // Before the worker exists, so that it inherits the blocked signals.
    InterruptSignals signals;
    // A reader that went away must not kill us before the sets are stopped.
    std::signal(SIGPIPE, SIG_IGN);

    const std::size_t total = options.names.size();
    PlistValue::Array names(options.names.begin(), options.names.end());
    PlistValue arguments = PlistValue::dictionary();
    arguments.setValueForKey("selectedScripts", PlistValue(std::move(names)));

    Wakeup wakeup;
    ObservedFramework framework(wakeup);
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        framework.runWithArguments(arguments, [](const ResultList&) {});
        finished = true;
        wakeup.post();
    });

    Display display(options.json                 ? Display::Mode::Quiet
                    : isatty(STDOUT_FILENO) != 0 ? Display::Mode::Bar
                                                 : Display::Mode::Lines);
    std::optional<int> interruptedBy;
    std::shared_ptr<kx::Task> taskAtLastOutcome;
    std::size_t shown = 0;
    for (bool last = false; !last;) {
        last = finished; // one more pass after the end shows the last outcome
        while (const auto signal = signals.take()) {
            if (!interruptedBy) {
                interruptedBy = *signal;
                display.line("interrupted: stopping the running set; the rest count as failed");
            }
        }
        // A cancel counts for a run from its start on, and the run raises the continue flag
        // when it starts: a Ctrl-C that came before then is made again once the flag is up.
        if (interruptedBy && !last && framework.shouldContinue())
            framework.cancelVivoziZevidodirid();

        const std::vector<Outcome> outcomes = framework.outcomes();
        for (; shown < outcomes.size(); ++shown) {
            display.line(outcomeLine(outcomes[shown], shown + 1, total));
            taskAtLastOutcome = framework.task();
        }
        if (last)
            break;
        display.bar({std::atomic_ref<float>(progress).load(), outcomes.size(), total,
                     activity(options.names, outcomes, framework.task() != taskAtLastOutcome)});

        pollfd events[] = {{signals.fd(), POLLIN, 0}, {wakeup.fd(), POLLIN, 0}};
        poll(events, 2, kTickMilliseconds);
        std::uint64_t posts;
        while (read(wakeup.fd(), &posts, sizeof posts) > 0) {
        }
    }
    worker.join();
    display.clear();

    const std::vector<Outcome> outcomes = framework.outcomes();
    if (options.json)
        printJson(outcomes, total, interruptedBy.has_value(), demoFolder);
    else
        printSummary(outcomes, total, interruptedBy.has_value(), demoFolder);
    std::cout.flush();

    if (interruptedBy)
        return 128 + *interruptedBy;
    bool allSucceeded = outcomes.size() == total;
    for (const Outcome& outcome : outcomes)
        allSucceeded = allSucceeded && outcome.succeeded;
    return allSucceeded ? kExitSuccess : kExitFailure;
}

} // namespace

Command addRunCommand(CLI::App& app, bool& json) {
    struct Given {
        RunOptions options;
        std::string demoFolder, setsFolder; // empty: not given
    };
    const auto given = std::make_shared<Given>();
    CLI::App* command = app.add_subcommand(
        "run", "Run maintenance sets one after the other, showing progress; Ctrl-C cancels");
    command->add_option("NAME", given->options.names, "Sets to run, in order (daily, weekly, ...)")
        ->required();
    CLI::Option* demo = command->add_flag(
        "--demo", given->options.demo,
        "Run the bundled sample sets instead of the system's; they work in --demo-dir");
    command
        ->add_option("--demo-dir", given->demoFolder,
                     "Folder the sample sets work in (default "
                     "${XDG_STATE_HOME:-$HOME/.local/state}/vivozi-demo)")
        ->needs(demo);
    command->add_option("--sets", given->setsFolder, "Run the sets found in DIR/<NAME>/ instead")
        ->excludes(demo)
        ->type_name("DIR");
    addJsonFlag(*command, json);
    command->footer("\nWithout --demo or --sets, the sets are the system's: /etc/periodic/"
                    "NAME/, else /etc/cron.NAME/.\nExit status: 0 when every set "
                    "succeeded, 1 when one failed, 130 after Ctrl-C.\n");
    return {command, [given, &json] {
                RunOptions options = given->options;
                if (!given->demoFolder.empty())
                    options.demoFolder = given->demoFolder;
                if (!given->setsFolder.empty())
                    options.setsFolder = given->setsFolder;
                options.json = json;
                return runCommand(options);
            }};
}

} // namespace vivozi
