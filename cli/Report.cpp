// `vivozi` alone: what the library knows about this system, gathered first, then presented.
#include "cli/Commands.h"
#include "cli/Format.h"
#include "cli/Output.h"
#include "cli/VolumeList.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <ctime>
#include <memory>
#include <sys/stat.h>

namespace vivozi {
namespace {

struct Report {
    std::optional<std::string> version;
    PlistValue versionDictionary;
    std::vector<VolumeRow> volumes;
    std::optional<bool> fullDiskAccess; // none where the question means nothing
    std::time_t generated = 0;
};

} // namespace

// Full Disk Access is a macOS setting: elsewhere it is asked only when a privacy database is
// there to read, and no tool runs for one that is not.
bool fullDiskAccessApplies(const PlistValue& versionDictionary) {
    const std::string_view product = versionDictionary["ProductName"].stringValue().value_or("");
    if (product.find("macOS") != std::string_view::npos ||
        product.find("Mac OS") != std::string_view::npos)
        return true;
    struct stat info {};
    return stat(kx::systemPaths().privacyDatabase.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

namespace {

Report gather(const VolumeFilter& filter) {
    Report report;
    report.generated = std::time(nullptr);
    report.version = KXGetCurrentSystemString();
    report.versionDictionary = KXGetCurrentSystemDictionary();
    report.volumes = mountedVolumes(filter);
    if (fullDiskAccessApplies(report.versionDictionary))
        report.fullDiskAccess = isFullDiskAccessSetup();
    return report;
}

void printText(const Report& report, const VolumeOptions& options) {
    out << "System\n";
    Table system({{"KEY"}, {"VALUE"}});
    system.addRow({"Version", escapeForTerminal(report.version.value_or("(unknown)"))});
    if (const auto* entries = report.versionDictionary.dictionaryEntries())
        for (const auto& [key, value] : *entries)
            system.addRow(
                {escapeForTerminal(key), escapeForTerminal(value.stringValue().value_or(""))});
    // The header row of a key/value list says nothing; drop it.
    const std::string systemText = system.render("  ");
    out << systemText.substr(systemText.find('\n') + 1) << '\n';

    out << "Volumes\n" << volumeTable(report.volumes, options, true, "  ") << '\n';

    out << "Full Disk Access  "
        << (!report.fullDiskAccess   ? "not applicable on this system"
            : *report.fullDiskAccess ? "yes"
                                     : "no")
        << '\n';
}

void printJson(const Report& report) {
    Json volumes = Json::array();
    for (const VolumeRow& volume : report.volumes)
        volumes.push_back(volumeJson(volume));
    const Json document = {
        {"generatedAt", isoDateWithOffset(report.generated)},
        {"version", report.version ? Json(*report.version) : Json()},
        {"versionDictionary", plistToJson(report.versionDictionary)},
        {"volumes", std::move(volumes)},
        {"fullDiskAccess", report.fullDiskAccess ? Json(*report.fullDiskAccess) : Json()},
    };
    out << dumpJson(document) << '\n';
}

int reportCommand(VolumeOptions& options, bool json) {
    options.settle();
    const Report report = gather(options.filter);
    if (json)
        printJson(report);
    else
        printText(report, options);
    return kExitSuccess;
}

} // namespace

Runner addReportCommand(CommandLine& line, bool& json) {
    // One set of options for `vivozi` and `vivozi report`, as for --json: `vivozi --all report`
    // lists them all.
    static VolumeOptions options;
    addJsonFlag(line, json);
    line.flag("--all", options.filter.all,
              "Also list special file systems (proc, sysfs, tmpfs, ...)");
    addColorOption(line, options);
    return [&json] { return reportCommand(options, json); };
}

} // namespace vivozi
