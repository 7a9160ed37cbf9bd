// `vivozi status`, `history` and `log`: what the maintenance journal says about past runs.
#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/JournalText.h"
#include "cli/Output.h"
#include "cli/Sets.h"

#include <VivoziZevidodirid/Journal.h>
#include <algorithm>
#include <cerrno>
#include <limits>
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
        out << dumpJson(answer) << '\n';
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
        out << "No maintenance sets and no runs recorded.\n";
    else
        out << table.render();
    return kExitSuccess;
}

struct HistoryOptions {
    std::optional<std::string> set;
    std::size_t limit = 20;
    std::size_t page = 1;
};

int historyCommand(const SetsChoice& choice, const HistoryOptions& options, bool json) {
    if (options.set)
        checkSetName(*options.set);
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
        out << dumpJson({{"page", options.page},
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
        out << (options.page > 1 ? "No runs on this page.\n" : "No runs recorded.\n");
    else
        out << table.render();
    if (more)
        out << "More: --page " << options.page + 1 << '\n';
    return kExitSuccess;
}

int logCommand(const SetsChoice& choice, const std::string& set, std::optional<std::int64_t> id,
               bool json) {
    checkSetName(set);
    std::optional<kx::Journal> journal = openJournal(choice);
    std::optional<kx::RunRecord> run;
    if (journal && !id)
        if (const auto newest = journal->runs(set, 1); !newest.empty())
            id = newest.front().id;
    if (journal && id)
        run = journal->run(*id);
    if (!run || run->set != set) {
        err << "vivozi: "
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
        out << dumpJson(answer) << '\n';
        return kExitSuccess;
    }
    out << "Run " << run->id << " of " << set << ": " << kx::runOutcomeName(run->outcome)
        << ", started " << localTimeText(run->started) << ", took " << durationOf(*run)
        << " (periodic pid " << run->pid << ")\n";
    for (const kx::ScriptRecord& script : run->scripts) {
        out << '\n'
            << escapeForTerminal(script.path) << ": " << scriptEndText(script) << ", took "
            << (script.ended ? spanText(*script.ended - script.started) : "-") << '\n';
        if (script.omittedBytes > 0)
            out << "  (" << script.omittedBytes << " earlier bytes not kept)\n";
        for (const std::string& line :
             lastLines(script.output, std::numeric_limits<std::size_t>::max()))
            out << "  " << line << '\n';
    }
    if (run->scripts.empty())
        out << "No script ran.\n";
    return kExitSuccess;
}

} // namespace

Runner addStatusCommand(CommandLine& line, bool& json) {
    struct Given {
        SetsChoice choice;
        SetsOptions sets;
    };
    const auto given = std::make_shared<Given>();
    addSetsOptions(line, given->choice, given->sets);
    addJsonFlag(line, json);
    return [given, &json] { return statusCommand(given->sets.finish(given->choice), json); };
}

Runner addHistoryCommand(CommandLine& line, bool& json) {
    struct Given {
        SetsChoice choice;
        SetsOptions sets;
        HistoryOptions options;
    };
    const auto given = std::make_shared<Given>();
    line.argument("SET", CommandLine::Arity::Optional, into(given->options.set),
                  "Only this set's runs");
    line.option("--limit", "N", wholeNumber(given->options.limit, 1, 100000),
                "Runs per page (default " + std::to_string(given->options.limit) + ")");
    line.option("--page", "N", wholeNumber(given->options.page, 1, 1000000),
                "Page to show, from 1");
    addSetsOptions(line, given->choice, given->sets);
    addJsonFlag(line, json);
    return [given, &json] {
        return historyCommand(given->sets.finish(given->choice), given->options, json);
    };
}

Runner addLogCommand(CommandLine& line, bool& json) {
    struct Given {
        SetsChoice choice;
        SetsOptions sets;
        std::string set;
        std::size_t run = 0; // 0: the newest
    };
    const auto given = std::make_shared<Given>();
    line.argument("SET", CommandLine::Arity::One, into(given->set), "The set");
    line.argument("RUN", CommandLine::Arity::Optional,
                  wholeNumber(given->run, 1, std::numeric_limits<std::int64_t>::max()),
                  "The run's number, as history shows it");
    addSetsOptions(line, given->choice, given->sets);
    addJsonFlag(line, json);
    return [given, &json] {
        const auto run = static_cast<std::int64_t>(given->run);
        return logCommand(given->sets.finish(given->choice), given->set,
                          run > 0 ? std::optional(run) : std::nullopt, json);
    };
}

} // namespace vivozi
