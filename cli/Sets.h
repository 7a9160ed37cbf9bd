#pragma once

// Where the sets a command works on come from (the system's, the bundled samples, a folder of
// the user's own) and which journal records their runs. Shared by run, list, status, history
// and log, so that each reads the runs the others made.

#include "cli/CommandLine.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vivozi {

struct SetsChoice {
    bool demo = false;
    std::optional<std::string> setsFolder; // sets of one's own: <folder>/<name>/
    std::optional<std::string> demoFolder; // where the sample sets work
};

// Adds --demo, --demo-dir and --sets to a command; `finish` turns what was given into `choice`
// once the line is parsed. The returned object must outlive the parse.
struct SetsOptions {
    std::string demoFolder, setsFolder; // empty: not given
    SetsChoice finish(SetsChoice choice) const;
};
void addSetsOptions(CommandLine& line, SetsChoice& choice, SetsOptions& given);

// $VIVOZI_PERIODIC_ROOT, else /etc: where the stand-in looks for the system's sets.
std::string periodicRoot();

// The folder of sets given instead of the system's (--sets, or the samples for --demo), checked
// to exist; nullopt for the system's.
std::optional<std::filesystem::path> overridingFolder(const SetsChoice& choice);

// The folder a set runs from, "" when there is no such set.
std::string setFolder(const SetsChoice& choice, const std::string& name);

// Every set that could run, sorted: the folders of the override, or the system's periodic/NAME
// and cron.NAME folders (cron.d holds crontabs, not a set).
std::vector<std::string> availableSets(const SetsChoice& choice);

// The journal the runs record into: $VIVOZI_JOURNAL when set, else the demo folder's own for
// --demo (never the account's: sample runs are not the system's), else "" for the account's.
std::string journalFile(const SetsChoice& choice);

// Refuses a name the stand-in would refuse, then one that names no set (UsageError).
void checkSetNames(const SetsChoice& choice, const std::vector<std::string>& names);
// Refuses a name the stand-in would refuse (UsageError).
void checkSetName(const std::string& name);

} // namespace vivozi
