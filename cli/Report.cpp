// `vivozi` alone: what the library knows about this system, gathered first, then presented.
#include "cli/Commands.h"
#include "cli/Format.h"

#include <CLI/CLI.hpp>
#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <iostream>
#include <memory>

namespace vivozi {
namespace {

struct Volume {
    std::string mountPoint;
    std::string device;
    std::string type;
    bool apfs = false;
    double total = 0.0;
    double used = 0.0;
    double free = 0.0;
    std::optional<double> containerUsed; // APFS volumes only
};

struct Report {
    std::optional<std::string> version;
    PlistValue versionDictionary;
    std::vector<Volume> volumes;
    bool fullDiskAccess = false;
};

std::vector<Volume> gatherVolumes(bool all) {
    // The library answers questions about one mount point at a time; the list of them is the
    // mount table's.
    const std::vector<kx::MountedFileSystem> entries = kx::mountedFileSystems();
    std::vector<Volume> volumes;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const kx::MountedFileSystem& entry = entries[i];
        // Of several mounts on one point only the last is seen there, and statfs reports it.
        bool hidden = false;
        for (std::size_t later = i + 1; later < entries.size(); ++later)
            hidden = hidden || entries[later].mountPoint == entry.mountPoint;
        if (hidden)
            continue;
        Volume volume;
        volume.mountPoint = entry.mountPoint;
        volume.device = entry.source;
        volume.type = entry.type;
        volume.total = KXFoundationGetVolTotalSize(entry.mountPoint);
        if (volume.total <= 0.0 && !all)
            continue; // proc, sysfs, cgroup and their kind hold no data
        volume.used = KXFoundationGetVolUsedSize(entry.mountPoint);
        volume.free = KXFoundationGetVolFreeSize(entry.mountPoint);
        volume.apfs = GetVolumeAPFS(entry.mountPoint);
        if (volume.apfs)
            volume.containerUsed = KXFoundationGetAPFSVolUsedSize(entry.mountPoint);
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

Report gather(bool all) {
    Report report;
    report.version = KXGetCurrentSystemString();
    report.versionDictionary = KXGetCurrentSystemDictionary();
    report.volumes = gatherVolumes(all);
    report.fullDiskAccess = isFullDiskAccessSetup();
    return report;
}

std::string sizeText(double bytes) {
    return KXFoundationConvertBytesToStringValue(bytes);
}

void printText(const Report& report) {
    std::cout << "System\n";
    Table system({{"KEY"}, {"VALUE"}});
    system.addRow({"Version", report.version.value_or("(unknown)")});
    if (const auto* entries = report.versionDictionary.dictionaryEntries())
        for (const auto& [key, value] : *entries)
            system.addRow({key, std::string(value.stringValue().value_or(""))});
    // The header row of a key/value list says nothing; drop it.
    const std::string systemText = system.render("  ");
    std::cout << systemText.substr(systemText.find('\n') + 1) << '\n';

    std::cout << "Volumes\n";
    using Align = Table::Align;
    Table volumes({{"MOUNT POINT"},
                   {"DEVICE"},
                   {"TYPE"},
                   {"APFS"},
                   {"TOTAL", Align::Right},
                   {"USED", Align::Right},
                   {"FREE", Align::Right},
                   {"CONTAINER USED", Align::Right}});
    for (const Volume& volume : report.volumes)
        volumes.addRow({volume.mountPoint, volume.device, volume.type, volume.apfs ? "yes" : "no",
                        sizeText(volume.total), sizeText(volume.used), sizeText(volume.free),
                        volume.containerUsed ? sizeText(*volume.containerUsed) : "-"});
    std::cout << volumes.render("  ") << '\n';

    std::cout << "Full Disk Access  " << (report.fullDiskAccess ? "yes" : "no") << '\n';
}

void printJson(const Report& report) {
    Json volumes = Json::array();
    for (const Volume& volume : report.volumes) {
        Json entry = {
            {"mountPoint", volume.mountPoint},
            {"device", volume.device},
            {"type", volume.type},
            {"apfs", volume.apfs},
            {"totalBytes", volume.total},
            {"usedBytes", volume.used},
            {"freeBytes", volume.free},
            {"total", sizeText(volume.total)},
            {"used", sizeText(volume.used)},
            {"free", sizeText(volume.free)},
            {"containerUsedBytes", nullptr},
            {"containerUsed", nullptr},
        };
        if (volume.containerUsed) {
            entry["containerUsedBytes"] = *volume.containerUsed;
            entry["containerUsed"] = sizeText(*volume.containerUsed);
        }
        volumes.push_back(std::move(entry));
    }
    const Json document = {
        {"version", report.version ? Json(*report.version) : Json()},
        {"versionDictionary", plistToJson(report.versionDictionary)},
        {"volumes", std::move(volumes)},
        {"fullDiskAccess", report.fullDiskAccess},
    };
    std::cout << dumpJson(document) << '\n';
}

int reportCommand(bool all, bool json) {
    const Report report = gather(all);
    if (json)
        printJson(report);
    else
        printText(report);
    return kExitSuccess;
}

} // namespace

Command addReportCommand(CLI::App& app, bool& json) {
    // Shared by `vivozi` and `vivozi report`, like --json.
    const auto all = std::make_shared<bool>(false);
    constexpr char kAllHelp[] = "Also list file systems without capacity (proc, sysfs, ...)";
    app.add_flag("--all", *all, kAllHelp);
    CLI::App* command =
        app.add_subcommand("report", "The system report (what vivozi alone prints)");
    addJsonFlag(*command, json);
    command->add_flag("--all", *all, kAllHelp);
    return {command, [all, &json] { return reportCommand(*all, json); }};
}

} // namespace vivozi
