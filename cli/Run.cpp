// `vivozi run`: the run goes on a worker thread, since it blocks its caller for its whole length;
// the main thread shows how it goes and turns Ctrl-C into a cancel.
#include "cli/Commands.h"
#include "cli/DemoFolder.h"
#include "cli/Format.h"
#include "cli/JournalText.h"
#include "cli/Layout.h"
#include "cli/Output.h"
#include "cli/Sets.h"
#include "cli/Signals.h"

#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vivozi {
namespace {

// How often the bar is redrawn.
constexpr int kTickMilliseconds = 100;

// Lines of a failed script's output shown under it.
constexpr std::size_t kFailedOutputLines = 5;

struct RunOptions {
    std::vector<std::string> names;
    SetsChoice sets;
    bool json = false;
    bool verbose = false; // every script's output as it comes
    bool quiet = false;   // failures alone
    double killAfter = 5; // seconds between the terminate of a cancel and the kill
};

struct Outcome {
    std::string name;
    bool succeeded = false;
    std::string status;
    pid_t pid = 0; // the stand-in's, 0 when none was started for the set
    // From the journal, for a set that failed.
    std::optional<kx::RunRecord> record;
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
            // The task of this set, unless none was started for it: then it is the last set's.
            const std::shared_ptr<kx::Task> current = task();
            const pid_t pid = current && current != lastTask_ ? current->processIdentifier() : 0;
            lastTask_ = current;
            outcomes_.push_back({textOf(record["name"]), !record[position].isAbsent(),
                                 textOf(record["taskStatus"]), pid > 0 ? pid : 0, std::nullopt});
        }
        wakeup_.post();
        if (!cancelled_) {
            VivoziZevidodiridFramework::processProgressData(record);
            return;
        }
        // Stopped: the sets left are reported without the pause after each, which would keep
        // the user waiting a second per set for sets that never run.
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.0f",
                      static_cast<double>(std::atomic_ref<float>(progress).load() * 100.0f));
        kx::DistributedNotificationCenter::defaultCenter().postNotification(
            kx::progressNotificationName, std::string(percent) + "|" +
                                              textOf(record["taskStatus"]) + "|" +
                                              textOf(record["name"]));
    }

    void cancelVivoziZevidodirid() override {
        cancelled_ = true;
        VivoziZevidodiridFramework::cancelVivoziZevidodirid();
    }

    std::vector<Outcome> outcomes() const {
        std::lock_guard lock(mutex_);
        return outcomes_;
    }

private:
    Wakeup& wakeup_;
    std::atomic<bool> cancelled_{false};
    mutable std::mutex mutex_;
    std::vector<Outcome> outcomes_;
    std::shared_ptr<kx::Task> lastTask_;
};

// For one run, periodic is a small script of ours that hands the stand-in what the run's own
// environment holds: another folder of sets, the journal, the demo folder, and for --verbose a
// pipe for the scripts' output. The library starts periodic with an empty environment and the
// null device for output, so none of these could be passed down any other way.
class StandInWrapper {
public:
    struct Passed {
        std::optional<fs::path> setsFolder;
        std::optional<std::string> demoFolder;
        std::string journal; // "" for the account's
        std::string root;    // the system's sets' root, "" for /etc
        bool output = false;
    };

    explicit StandInWrapper(const Passed& passed) {
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

        std::string script = "#!/bin/sh\n# Written by vivozi for one run.\n";
        const auto pass = [&](const char* name, const std::string& value) {
            script += std::string(name) + "=" + shellQuote(value) + "\nexport " + name + "\n";
        };
        if (passed.setsFolder) {
            // The stand-in looks for <root>/periodic/<name>/. A folder named so is handed over
            // as it is, so that the journal records the scripts' own paths; another is reached
            // through a link of ours, which the recorded paths then name.
            fs::path sets = fs::absolute(*passed.setsFolder).lexically_normal();
            if (sets.filename().empty()) // a closing slash
                sets = sets.parent_path();
            fs::path root = sets.parent_path();
            if (sets.filename() != "periodic") {
                root = folder_ / "root";
                fs::create_directory(root);
                fs::create_directory_symlink(sets, root / "periodic");
            }
            pass("VIVOZI_PERIODIC_ROOT", root.string());
        } else if (!passed.root.empty()) {
            pass("VIVOZI_PERIODIC_ROOT", passed.root);
        }
        if (!passed.journal.empty())
            pass("VIVOZI_JOURNAL", passed.journal);
        if (passed.demoFolder)
            pass("VIVOZI_DEMO_DIR", *passed.demoFolder);
        std::string redirect;
        if (passed.output) {
            const fs::path pipe = folder_ / "output";
            if (mkfifo(pipe.c_str(), 0600) != 0)
                throw std::runtime_error("cannot create " + pipe.string() + ": " +
                                         std::strerror(errno));
            // Ours, opened first, so that the stand-in's open never waits; the write end kept
            // so that the pipe does not end between two sets.
            output_ = open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            keepOpen_ = open(pipe.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (output_ < 0 || keepOpen_ < 0)
                throw std::runtime_error("cannot open " + pipe.string());
            redirect = " >" + shellQuote(pipe.string()) + " 2>&1";
        }
        script += "exec " + shellQuote(standIn) + " \"$@\"" + redirect + "\n";
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

    ~StandInWrapper() {
        kx::setSystemPaths(saved_);
        for (const int fd : {output_, keepOpen_})
            if (fd >= 0)
                close(fd);
        std::error_code ignored;
        fs::remove_all(folder_, ignored); // removes the link, never what it points at
    }

    StandInWrapper(const StandInWrapper&) = delete;
    StandInWrapper& operator=(const StandInWrapper&) = delete;

    // The read end of the scripts' output for --verbose (non-blocking), else -1.
    int output() const { return output_; }

private:
    fs::path folder_;
    kx::SystemPaths saved_;
    int output_ = -1;
    int keepOpen_ = -1;
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
            out << kClearLine;
        out << text << '\n';
        if (mode_ == Mode::Bar && barShown_)
            out << barText_;
        out.flush();
    }

    void bar(const BarState& state) {
        if (mode_ != Mode::Bar)
            return;
        std::string text = progressBarLine(state, columns());
        if (barShown_ && text == barText_)
            return;
        barText_ = std::move(text);
        barShown_ = true;
        out << kClearLine << barText_;
        out.flush();
    }

    // Takes the bar off the screen, leaving the cursor at the start of an empty line.
    void clear() {
        if (mode_ == Mode::Bar && barShown_)
            out << kClearLine;
        out.flush();
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

// The stand-in's record of this set's run: the run of that set by that process, begun after
// this vivozi started (an older run by a reused pid is not it).
std::optional<kx::RunRecord> findRecord(std::optional<kx::Journal>& journal,
                                        const std::string& file, const Outcome& outcome,
                                        kx::JournalTime since) {
    if (outcome.pid <= 0)
        return std::nullopt;
    // Opened once there is something to read: the first run of all creates the file.
    if (!journal || !journal->isOpen())
        journal.emplace(kx::Journal::Access::Read, file);
    if (!journal->isOpen())
        return std::nullopt;
    for (const kx::RunRecord& run : journal->runs(outcome.name, 8))
        if (run.pid == outcome.pid && run.started >= since)
            return run.outcome == kx::RunOutcome::Skipped ? std::optional(run)
                                                          : journal->run(run.id);
    return std::nullopt;
}

// What went wrong in a failed set, each line indented under the set's.
std::vector<std::string> failureLines(const Outcome& outcome) {
    if (outcome.pid <= 0)
        return {"  not started"};
    if (!outcome.record)
        return {"  no record of the run in the journal"};
    if (outcome.record->outcome == kx::RunOutcome::Skipped)
        return {"  skipped: the set is already running"};
    std::vector<std::string> lines;
    for (const kx::ScriptRecord& script : outcome.record->scripts) {
        if (!scriptFailed(script))
            continue;
        lines.push_back("  " + escapeForTerminal(script.path) + ": " + scriptEndText(script));
        for (const std::string& line : lastLines(script.output, kFailedOutputLines))
            lines.push_back("    " + line);
    }
    if (lines.empty())
        lines.push_back("  " + std::string(kx::runOutcomeName(outcome.record->outcome)) +
                        ", no script failed");
    return lines;
}

void printSummary(const std::vector<Outcome>& outcomes, std::size_t total, bool interrupted,
                  const std::optional<std::string>& demoFolder) {
    Table table({{"SET"}, {"OUTCOME"}, {"STATUS"}});
    std::size_t succeeded = 0;
    for (const Outcome& outcome : outcomes) {
        const bool skipped = outcome.record && outcome.record->outcome == kx::RunOutcome::Skipped;
        table.addRow({outcome.name,
                      outcome.succeeded ? "succeeded"
                      : skipped         ? "skipped"
                                        : "failed",
                      outcome.status});
        succeeded += outcome.succeeded ? 1 : 0;
    }
    out << '\n' << table.render() << '\n';
    // A stop that came once every set had succeeded stopped nothing.
    out << succeeded << " of " << total << (total == 1 ? " set" : " sets") << " succeeded"
        << (interrupted && succeeded < total ? " (interrupted)" : "") << ".\n";
    if (demoFolder)
        out << "The sample sets worked in " << *demoFolder << '\n';
}

void printJson(const std::vector<Outcome>& outcomes, std::size_t total, bool interrupted,
               const std::optional<std::string>& demoFolder) {
    Json sets = Json::array();
    bool allSucceeded = outcomes.size() == total;
    for (const Outcome& outcome : outcomes) {
        Json set = {{"name", outcome.name},
                    {"succeeded", outcome.succeeded},
                    {"status", outcome.status},
                    {"run", outcome.record ? runJson(*outcome.record) : Json()}};
        if (outcome.record) {
            Json scripts = Json::array();
            for (const kx::ScriptRecord& script : outcome.record->scripts)
                if (scriptFailed(script))
                    scripts.push_back(scriptJson(script, true));
            set["failedScripts"] = std::move(scripts);
        }
        sets.push_back(std::move(set));
        allSucceeded = allSucceeded && outcome.succeeded;
    }
    out << dumpJson({{"sets", std::move(sets)},
                     {"succeeded", allSucceeded},
                     {"interrupted", interrupted && !allSucceeded},
                     {"progress", std::atomic_ref<float>(progress).load()},
                     {"demoFolder", demoFolder ? Json(*demoFolder) : Json()}})
        << '\n';
}

// Passes the scripts' output on as it comes, line by line, each line escaped.
class OutputLines {
public:
    explicit OutputLines(int fd) : fd_(fd) {}
    int fd() const { return fd_; }
    template <class Show> void read(Show show, bool flush) {
        char buffer[16384];
        ssize_t got;
        while (fd_ >= 0 && (got = ::read(fd_, buffer, sizeof buffer)) > 0)
            pending_.append(buffer, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            show(escapeForTerminal(std::string_view(pending_).substr(0, end)));
            pending_.erase(0, end + 1);
        }
        if (flush && !pending_.empty())
            show(escapeForTerminal(std::exchange(pending_, {})));
    }

private:
    int fd_;
    std::string pending_;
};

// Whether any process is left in the group (a stopped one counts).
bool groupAlive(pid_t group) {
    return group > 1 && (killpg(group, 0) == 0 || errno == EPERM);
}

int runCommand(const RunOptions& options) {
    checkSetNames(options.sets, options.names);
    const std::optional<fs::path> setsFolder = overridingFolder(options.sets);
    std::optional<std::string> demoFolder;
    if (options.sets.demo)
        demoFolder = prepareDemoFolder(options.sets.demoFolder);
    SetsChoice chosen = options.sets;
    chosen.demoFolder = demoFolder;
    const std::string journal = journalFile(chosen);
    const char* root = std::getenv("VIVOZI_PERIODIC_ROOT");
    std::optional<StandInWrapper> wrapper;
    if (setsFolder || !journal.empty() || options.verbose || (root && *root))
        wrapper.emplace(StandInWrapper::Passed{setsFolder, demoFolder, journal, root ? root : "",
                                               options.verbose});
    OutputLines output(wrapper ? wrapper->output() : -1);
    const auto since =
        std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now());

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

    Display display(options.json || options.quiet ? Display::Mode::Quiet
                    : isatty(STDOUT_FILENO) != 0  ? Display::Mode::Bar
                                                  : Display::Mode::Lines);
    // Failures are said even by --quiet, to standard output, where a timer's log keeps them.
    const auto say = [&](const std::string& text) {
        if (options.quiet && !options.json)
            out << text << '\n';
        else
            display.line(text);
    };
    std::optional<kx::Journal> records;
    std::optional<int> interruptedBy;
    // The group the cancel terminated, killed once the grace period is over or a second signal
    // comes; whatever is left of it is not left behind when we end.
    std::shared_ptr<kx::Task> stopping;
    std::chrono::steady_clock::time_point killAt;
    bool killed = false;
    std::shared_ptr<kx::Task> taskAtLastOutcome;
    std::vector<Outcome> outcomes;
    for (bool last = false; !last;) {
        const bool workerDone = finished;
        while (const auto signal = signals.take()) {
            if (!interruptedBy) {
                interruptedBy = *signal;
                const std::shared_ptr<kx::Task> running = framework.task();
                stopping = running;
                killAt = std::chrono::steady_clock::now() +
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(options.killAfter));
                const std::size_t done = framework.outcomes().size();
                if (workerDone || done == total)
                    display.line("interrupted after the last set");
                else if (running && running->isRunning() && running != taskAtLastOutcome)
                    display.line("interrupted: stopping the running set; the rest count as failed");
                else
                    display.line("interrupted: the sets left count as failed");
            } else if (!killed) {
                killAt = std::chrono::steady_clock::now(); // a second one: no more waiting
            }
        }
        // A cancel counts for a run from its start on, and the run raises the continue flag
        // when it starts: a Ctrl-C that came before then is made again once the flag is up.
        if (interruptedBy && !workerDone && framework.shouldContinue())
            framework.cancelVivoziZevidodirid();
        if (interruptedBy && !stopping)
            stopping = framework.task();
        const pid_t group = stopping ? stopping->processIdentifier() : 0;
        if (interruptedBy && !killed && group > 1 && std::chrono::steady_clock::now() >= killAt) {
            killpg(group, SIGKILL);
            killed = true;
        }

        output.read([&](const std::string& line) { display.line("  " + line); }, workerDone);
        const std::vector<Outcome> seen = framework.outcomes();
        for (std::size_t k = outcomes.size(); k < seen.size(); ++k) {
            Outcome outcome = seen[k];
            if (!outcome.succeeded)
                outcome.record = findRecord(records, journal, outcome, since);
            if (!options.quiet || !outcome.succeeded)
                say(outcomeLine(outcome, k + 1, total));
            if (!outcome.succeeded && !options.verbose)
                for (const std::string& line : failureLines(outcome))
                    say(line);
            outcomes.push_back(std::move(outcome));
            taskAtLastOutcome = framework.task();
        }
        // One more pass after the end shows the last outcome; a stop waits on what is left of
        // the stopped group until it is gone or killed.
        last = workerDone && !(interruptedBy && !killed && groupAlive(group));
        if (last)
            break;
        display.bar({std::atomic_ref<float>(progress).load(), outcomes.size(), total,
                     activity(options.names, outcomes, framework.task() != taskAtLastOutcome)});

        pollfd events[] = {
            {signals.fd(), POLLIN, 0}, {wakeup.fd(), POLLIN, 0}, {output.fd(), POLLIN, 0}};
        poll(events, output.fd() >= 0 ? 3 : 2, kTickMilliseconds);
        std::uint64_t posts;
        while (read(wakeup.fd(), &posts, sizeof posts) > 0) {
        }
    }
    worker.join();
    display.clear();

    bool allSucceeded = outcomes.size() == total;
    for (const Outcome& outcome : outcomes)
        allSucceeded = allSucceeded && outcome.succeeded;
    if (options.json)
        printJson(outcomes, total, interruptedBy.has_value(), demoFolder);
    else if (!options.quiet)
        printSummary(outcomes, total, interruptedBy.has_value(), demoFolder);
    out.flush();

    if (interruptedBy && !allSucceeded)
        return 128 + *interruptedBy;
    return allSucceeded ? kExitSuccess : kExitFailure;
}

} // namespace

Runner addRunCommand(CommandLine& line, bool& json) {
    struct Given {
        RunOptions options;
        SetsOptions sets;
    };
    const auto given = std::make_shared<Given>();
    line.argument("NAME", CommandLine::Arity::Many, into(given->options.names),
                  "Sets to run, in order (daily, weekly, ...)");
    addSetsOptions(line, given->options.sets, given->sets);
    line.flag("-v,--verbose", given->options.verbose,
              "Show every script's output as it is written");
    line.flag("-q,--quiet", given->options.quiet,
              "Print only the sets that failed, with their failed scripts");
    line.excludes("--quiet", "--verbose");
    line.option("--kill-after", "SECONDS", seconds(given->options.killAfter, 0, 86400),
                "Seconds a stopped set's scripts get to end before they are killed (default 5)");
    addJsonFlag(line, json);
    line.footer(
        "\nWithout --demo or --sets, the sets are the system's: /etc/periodic/NAME/, else "
        "/etc/cron.NAME/\n($VIVOZI_PERIODIC_ROOT in place of /etc when set). A failed set is "
        "shown with each failed\nscript, its exit status or signal and the last lines of its "
        "output, from the journal\n($VIVOZI_JOURNAL when set).\nExit status: 0 when every set "
        "succeeded, 1 when one failed or was skipped because it was\nalready running, 128 + "
        "signal after Ctrl-C (130), a hang-up (129) or a terminate (143).\n");
    return [given, &json] {
        RunOptions options = given->options;
        options.sets = given->sets.finish(options.sets);
        options.json = json;
        return runCommand(options);
    };
}

} // namespace vivozi
