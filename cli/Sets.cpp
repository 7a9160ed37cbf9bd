#include "cli/Sets.h"

#include "cli/Commands.h"
#include "cli/DemoFolder.h"
#include "cli/Format.h"
#include "cli/Layout.h"

#include <VivoziZevidodirid/MaintenanceSets.h>
#include <algorithm>
#include <cstdlib>

namespace fs = std::filesystem;

namespace vivozi {
namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

SetsChoice SetsOptions::finish(SetsChoice choice) const {
    if (!demoFolder.empty())
        choice.demoFolder = demoFolder;
    if (!setsFolder.empty())
        choice.setsFolder = setsFolder;
    return choice;
}

void addSetsOptions(CommandLine& line, SetsChoice& choice, SetsOptions& given) {
    line.flag("--demo", choice.demo,
              "The bundled sample sets instead of the system's; they work in --demo-dir and "
              "record their runs there");
    line.option("--demo-dir", "DIR", into(given.demoFolder),
                "Folder the sample sets work in (default "
                "${XDG_STATE_HOME:-$HOME/.local/state}/vivozi-demo)");
    line.needs("--demo-dir", "--demo");
    line.option("--sets", "DIR", into(given.setsFolder), "The sets found in DIR/<NAME>/ instead");
    line.excludes("--sets", "--demo");
}

std::string periodicRoot() {
    const std::string root = variable("VIVOZI_PERIODIC_ROOT");
    return root.empty() ? "/etc" : root;
}

std::optional<fs::path> overridingFolder(const SetsChoice& choice) {
    if (!choice.demo && !choice.setsFolder)
        return std::nullopt;
    fs::path folder;
    if (choice.setsFolder) {
        folder = *choice.setsFolder;
    } else if (const auto samples = sampleSetsFolder()) {
        folder = *samples;
    } else {
        throw std::runtime_error("the bundled sample sets are not installed");
    }
    std::error_code error;
    if (!fs::is_directory(folder, error))
        throw UsageError("no folder of sets at " + folder.string());
    return folder;
}

std::string setFolder(const SetsChoice& choice, const std::string& name) {
    if (!kx::isMaintenanceSetName(name))
        return "";
    if (const auto folder = overridingFolder(choice)) {
        std::error_code error;
        return fs::is_directory(*folder / name, error) ? (*folder / name).string() : "";
    }
    return kx::maintenanceSetFolder(periodicRoot(), name);
}

std::vector<std::string> availableSets(const SetsChoice& choice) {
    std::vector<std::string> names;
    const auto add = [&](const fs::path& folder, std::string_view prefix) {
        std::error_code error;
        for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
             entry.increment(error)) {
            const std::string file = entry->path().filename().string();
            if (!file.starts_with(prefix))
                continue;
            const std::string name = file.substr(prefix.size());
            std::error_code kind;
            if (kx::isMaintenanceSetName(name) && name != "d" && entry->is_directory(kind))
                names.push_back(name);
        }
    };
    if (const auto folder = overridingFolder(choice)) {
        add(*folder, "");
    } else {
        add(fs::path(periodicRoot()) / "periodic", "");
        add(periodicRoot(), "cron.");
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

std::string journalFile(const SetsChoice& choice) {
    if (std::string file = variable("VIVOZI_JOURNAL"); !file.empty())
        return file;
    if (!choice.demo)
        return "";
    const std::optional<std::string> demo =
        choice.demoFolder ? choice.demoFolder : defaultDemoFolder();
    if (!demo)
        throw std::runtime_error("no folder for the sample sets' journal: the account has no home");
    return (fs::absolute(*demo) / "journal" / "journal.sqlite").string();
}

void checkSetName(const std::string& name) {
    if (!isSetName(name))
        throw UsageError("'" + name + "' is not a set name (letters, digits, '-' and '_' only)");
}

void checkSetNames(const SetsChoice& choice, const std::vector<std::string>& names) {
    // A name with a dot, a slash or a blank would be a path, a hidden file or a set that the
    // stand-in then refuses to know.
    for (const std::string& name : names)
        checkSetName(name);
    const std::optional<fs::path> folder = overridingFolder(choice);
    for (const std::string& name : names)
        if (setFolder(choice, name).empty())
            throw UsageError(
                "no set named '" + name + "' in " +
                (folder ? folder->string()
                        : periodicRoot() + "/periodic or " + periodicRoot() + "/cron." + name));
}

} // namespace vivozi
