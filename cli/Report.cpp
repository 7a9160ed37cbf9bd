// `vivozi` alone: what the library knows about this system, gathered first, then presented.
#include "cli/Commands.h"
#include "cli/Format.h"

#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <iostream>
#include <memory>
#include <mntent.h>

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

struct MountEntry {
    std::string source;
    std::string mountPoint;
    std::string type;
};

// The library answers questions about one mount point at a time; the list of them is the
// mount table's.
std::vector<MountEntry> mountTable() {
    std::vector<MountEntry> entries;
    const std::unique_ptr<FILE, int (*)(FILE*)> stream(
        setmntent(kx::systemPaths().mountTable.c_str(), "r"), endmntent);
    if (!stream)
        return entries;
    // Names of PATH_MAX bytes each, every byte possibly escaped to four: getmntent_r cuts a
    // longer line without saying so.
    std::vector<char> line(64 * 1024);
    mntent entry{};
    while (getmntent_r(stream.get(), &entry, line.data(), static_cast<int>(line.size())))
        entries.push_back({entry.mnt_fsname, entry.mnt_dir, entry.mnt_type});
    return entries;
}

std::vector<Volume> gatherVolumes(bool all) {
    std::vector<MountEntry> entries = mountTable();
    std::vector<Volume> volumes;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const MountEntry& entry = entries[i];
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

Report gather(const ReportOptions& options) {
    Report report;
    report.version = KXGetCurrentSystemString();
    report.versionDictionary = KXGetCurrentSystemDictionary();
    report.volumes = gatherVolumes(options.all);
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

} // namespace

int reportCommand(const ReportOptions& options) {
    const Report report = gather(options);
    if (options.json)
        printJson(report);
    else
        printText(report);
    return kExitSuccess;
}

} // namespace vivozi
