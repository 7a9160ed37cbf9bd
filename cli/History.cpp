// `vivozi status`, `history` and `log`: what the maintenance journal says about past runs.
#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/JournalText.h"
#include "cli/Sets.h"

#include <CLI/CLI.hpp>
#include <VivoziZevidodirid/Journal.h>
#include <algorithm>
#include <cerrno>
#include <iostream>
#include <map>
#include <memory>

namespace vivozi {
namespace {

using Clock = std::chrono::system_clock;

kx::JournalTime now() {
    return std::chrono::time_point_cast<std::chrono::microseconds>(Clock::now());
}

// The journal to read; nullopt when there is none yet (no run was ever recorded), an error when
// it cannot be read.
std::optional<kx::Journal> openJournal(const SetsChoice& choice) {
    kx::Journal journal(kx::Journal::Access::Read, journalFile(choice));
    if (journal.isOpen())
        return journal;
    if (journal.error() == std::errc::no_such_file_or_directory)
        return std::nullopt;
    throw std::runtime_error(journal.errorText());
}

std::string durationOf(const kx::RunRecord& run) {
    return run.ended ? spanText(*run.ended - run.started) : "-";
}

void checkName(const std::string& name) {
    if (!isSetName(name))
        throw UsageError("'" + escapeForTerminal(name) +
                         "' is not a set name (letters, digits, '-' and '_' only)");
}

int statusCommand(const SetsChoice& choice, bool json) {
    std::map<std::string, std::optional<kx::SetSummary>> sets;
    for (const std::string& name : availableSets(choice))
        sets[name];
    if (auto journal = openJournal(choice))
        for (kx::SetSummary& summary : journal->lastRuns())
            sets[summary.lastRun.set] = std::move(summary);
    const kx::JournalTime at = now();
    if (json) {
        Json answer = Json::array();
        for (const auto& [name, summary] : sets)
            answer.push_back(
                {{"set", name},
                 {"lastRun", summary ? runJson(summary->lastRun) : Json()},
                 {"secondsSinceLastRun",
                  summary
                      ? Json(std::chrono::duration<double>(at - summary->lastRun.started).count())
                      : Json()},
                 {"lastSuccess", summary && summary->lastSuccess
                                     ? Json(isoTimeText(*summary->lastSuccess))
                                     : Json()}});
        std::cout << dumpJson(answer) << '\n';
        return kExitSuccess;
    }
    Table table({{"SET"}, {"LAST"}, {"PASSED"}, {"OUTCOME"}, {"DURATION"}, {"LAST SUCCESS"}});
    for (const auto& [name, summary] : sets) {
        if (!summary) {
            table.addRow({escapeForTerminal(name), "-", "-", "never run", "-", "-"});
            continue;
        }
        const kx::RunRecord& run = summary->lastRun;
        table.addRow({escapeForTerminal(name), localTimeText(run.started),
                      spanText(at - run.started) + " ago",
                      std::string(kx::runOutcomeName(run.outcome)), durationOf(run),
                      summary->lastSuccess ? localTimeText(*summary->lastSuccess) : "never"});
    }
    if (table.empty())
        std::cout << "No maintenance sets and no runs recorded.\n";
    else
        std::cout << table.render();
    return kExitSuccess;
}

struct HistoryOptions {
    std::optional<std::string> set;
    std::size_t limit = 20;
    std::size_t page = 1;
};

int historyCommand(const SetsChoice& choice, const HistoryOptions& options, bool json) {
    if (options.set)
        checkName(*options.set);
    std::vector<kx::RunRecord> runs;
    const std::size_t skip = (options.page - 1) * options.limit;
    // One more than the page holds tells whether another page follows.
    const std::size_t wanted = skip + options.limit + 1;
    if (auto journal = openJournal(choice)) {
        std::vector<std::string> names;
        if (options.set)
            names.push_back(*options.set);
        else
            for (const kx::SetSummary& summary : journal->lastRuns())
                names.push_back(summary.lastRun.set);
        for (const std::string& name : names)
            for (kx::RunRecord& run : journal->runs(name, wanted))
                runs.push_back(std::move(run));
    }
    std::ranges::sort(runs, [](const kx::RunRecord& a, const kx::RunRecord& b) {
        return a.started != b.started ? a.started > b.started : a.id > b.id;
    });
    const bool more = runs.size() > skip + options.limit;
    runs.erase(runs.begin(),
               runs.begin() + static_cast<std::ptrdiff_t>(std::min(skip, runs.size())));
    if (runs.size() > options.limit)
        runs.resize(options.limit);

    if (json) {
        Json list = Json::array();
        for (const kx::RunRecord& run : runs)
            list.push_back(runJson(run));
        std::cout << dumpJson({{"page", options.page},
                               {"limit", options.limit},
                               {"more", more},
                               {"runs", std::move(list)}})
                  << '\n';
        return kExitSuccess;
    }
    Table table({{"RUN", Table::Align::Right}, {"SET"}, {"STARTED"}, {"DURATION"}, {"OUTCOME"}});
    for (const kx::RunRecord& run : runs)
        table.addRow({std::to_string(run.id), escapeForTerminal(run.set),
                      localTimeText(run.started), durationOf(run),
                      std::string(kx::runOutcomeName(run.outcome))});
    if (table.empty())
        std::cout << (options.page > 1 ? "No runs on this page.\n" : "No runs recorded.\n");
    else
        std::cout << table.render();
    if (more)
        std::cout << "More: --page " << options.page + 1 << '\n';
    return kExitSuccess;
}

int logCommand(const SetsChoice& choice, const std::string& set, std::optional<std::int64_t> id,
               bool json) {
    checkName(set);
    std::optional<kx::Journal> journal = openJournal(choice);
    std::optional<kx::RunRecord> run;
    if (journal && !id)
        if (const auto newest = journal->runs(set, 1); !newest.empty())
            id = newest.front().id;
    if (journal && id)
        run = journal->run(*id);
    if (!run || run->set != set) {
        std::cerr << "vivozi: "
                  << (id ? "no run " + std::to_string(*id) + " of set '" + set + "'"
                         : "no run of set '" + set + "' recorded")
                  << '\n';
        return kExitFailure;
    }
    if (json) {
        Json answer = runJson(*run);
        Json scripts = Json::array();
        for (const kx::ScriptRecord& script : run->scripts)
            scripts.push_back(scriptJson(script, true));
        answer["scripts"] = std::move(scripts);
        std::cout << dumpJson(answer) << '\n';
        return kExitSuccess;
    }
    std::cout << "Run " << run->id << " of " << set << ": " << kx::runOutcomeName(run->outcome)
              << ", started " << localTimeText(run->started) << ", took " << durationOf(*run)
              << " (periodic pid " << run->pid << ")\n";
    for (const kx::ScriptRecord& script : run->scripts) {
        std::cout << '\n'
                  << escapeForTerminal(script.path) << ": " << scriptEndText(script) << ", took "
                  << (script.ended ? spanText(*script.ended - script.started) : "-") << '\n';
        if (script.omittedBytes > 0)
            std::cout << "  (" << script.omittedBytes << " earlier bytes not kept)\n";
        for (const std::string& line :
             lastLines(script.output, std::numeric_limits<std::size_t>::max()))
            std::cout << "  " << line << '\n';
    }
    if (run->scripts.empty())
        std::cout << "No script ran.\n";
    return kExitSuccess;
}

} // namespace

std::vector<Command> addJournalCommands(CLI::App& app, bool& json, const Wanted& wanted) {
    std::vector<Command> commands;
    if (wanted("status")) {
        struct Given {
            SetsChoice choice;
            SetsOptions sets;
        };
        const auto given = std::make_shared<Given>();
        CLI::App* command = app.add_subcommand(
            "status", "When each maintenance set last ran, how it went and its last success");
        addSetsOptions(*command, given->choice, given->sets);
        addJsonFlag(*command, json);
        commands.push_back({command, [given, &json] {
                                return statusCommand(given->sets.finish(given->choice), json);
                            }});
    }
    if (wanted("history")) {
        struct Given {
            SetsChoice choice;
            SetsOptions sets;
            HistoryOptions options;
            std::string set;
        };
        const auto given = std::make_shared<Given>();
        CLI::App* command =
            app.add_subcommand("history", "The runs of every set, or of SET, newest first");
        CLI::Option* set = command->add_option("SET", given->set, "Only this set's runs");
        command->add_option("--limit", given->options.limit, "Runs per page")
            ->capture_default_str()
            ->check(CLI::Range(std::size_t{1}, std::size_t{100000}));
        command->add_option("--page", given->options.page, "Page to show, from 1")
            ->capture_default_str()
            ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
        addSetsOptions(*command, given->choice, given->sets);
        addJsonFlag(*command, json);
        commands.push_back({command, [given, set, &json] {
                                HistoryOptions options = given->options;
                                if (set->count() > 0)
                                    options.set = given->set;
                                return historyCommand(given->sets.finish(given->choice), options,
                                                      json);
                            }});
    }
    if (wanted("log")) {
        struct Given {
            SetsChoice choice;
            SetsOptions sets;
            std::string set;
            std::int64_t run = 0;
        };
        const auto given = std::make_shared<Given>();
        CLI::App* command = app.add_subcommand(
            "log", "One run of SET with its scripts and their output (the newest unless RUN)");
        command->add_option("SET", given->set, "The set")->required();
        command->add_option("RUN", given->run, "The run's number, as history shows it")
            ->check(CLI::PositiveNumber);
        addSetsOptions(*command, given->choice, given->sets);
        addJsonFlag(*command, json);
        commands.push_back(
            {command, [given, &json] {
                 return logCommand(given->sets.finish(given->choice), given->set,
                                   given->run > 0 ? std::optional(given->run) : std::nullopt, json);
             }});
    }
    return commands;
}

} // namespace vivozi
