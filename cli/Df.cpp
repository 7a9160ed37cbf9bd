// `vivozi df [PATH...]`: the volumes, or the volume holding each path, with the space a user can
// still write; and the volume listing the report shares.
#include "cli/Commands.h"
#include "cli/Output.h"
#include "cli/VolumeList.h"

#include <VivoziZevidodirid/VivoziZevidodirid.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace vivozi {
namespace {

constexpr std::size_t kBarWidth = 20;

bool listed(const std::vector<std::string>& types, const std::string& type) {
    return std::find(types.begin(), types.end(), type) != types.end();
}

std::vector<std::string> splitLists(const std::vector<std::string>& lists) {
    std::vector<std::string> names;
    for (const std::string& list : lists)
        for (std::size_t start = 0; start <= list.size();) {
            const std::size_t comma = std::min(list.find(',', start), list.size());
            if (comma > start)
                names.push_back(list.substr(start, comma - start));
            start = comma + 1;
        }
    return names;
}

std::string sizeText(const std::optional<kx::VolumeSpace>& space,
                     std::uint64_t kx::VolumeSpace::*field) {
    if (!space)
        return "-";
    return KXFoundationConvertBytesToStringValue(static_cast<double>((*space).*field));
}

std::optional<unsigned> percentOf(const VolumeRow& row) {
    if (!row.space || row.space->totalBytes == 0)
        return std::nullopt;
    return usePercent(row.space->usedBytes, row.space->availableBytes);
}

Json bytes(const std::optional<kx::VolumeSpace>& space, std::uint64_t kx::VolumeSpace::*field) {
    return space ? Json((*space).*field) : Json();
}

int dfCommand(const std::vector<std::string>& paths, VolumeOptions& options, bool json) {
    options.settle();
    std::vector<VolumeRow> rows;
    int status = kExitSuccess;
    if (paths.empty())
        rows = mountedVolumes(options.filter);
    for (const std::string& path : paths) {
        // Asked first only to tell a missing path (with the system's reason) from an unmounted one.
        struct stat info {};
        const int missing = ::stat(path.c_str(), &info) == 0 ? 0 : errno;
        const auto mount = missing ? std::nullopt : kx::volumeHolding(path);
        if (!mount) {
            err << "vivozi: " << escapeForTerminal(path) << ": "
                << (missing ? std::strerror(missing) : "no mounted file system holds it") << '\n';
            status = kExitFailure;
            continue;
        }
        VolumeRow row = volumeRow(*mount);
        row.path = path;
        if (options.filter.accepts(row, true))
            rows.push_back(std::move(row));
    }
    if (json) {
        Json volumes = Json::array();
        for (const VolumeRow& row : rows)
            volumes.push_back(volumeJson(row));
        out << dumpJson({{"generatedAt", isoDateWithOffset(std::time(nullptr))},
                         {"volumes", std::move(volumes)}})
            << '\n';
    } else if (!rows.empty()) {
        out << volumeTable(rows, options, paths.empty(), "");
    }
    if (rows.empty() && status == kExitSuccess) {
        err << "vivozi: no file system shows with these options\n";
        status = kExitFailure;
    }
    return status;
}

} // namespace

bool VolumeFilter::accepts(const VolumeRow& row, bool named) const {
    const std::string& type = row.mount.type;
    if (listed(excludedTypes, type))
        return false;
    if (!types.empty())
        return listed(types, type) && !(local && row.group == VolumeGroup::Network);
    if (local && row.group == VolumeGroup::Network)
        return false;
    return named || all || row.group != VolumeGroup::Special;
}

void VolumeOptions::settle() {
    const auto mode = parseColorMode(color);
    if (!mode)
        throw UsageError("--color: '" + color + "' is not auto, always or never");
    filter.types = splitLists(filter.types);
    filter.excludedTypes = splitLists(filter.excludedTypes);
    const bool terminal = isatty(STDOUT_FILENO) == 1;
    colored = colorEnabled(*mode, terminal, std::getenv("NO_COLOR"));
    bar = terminal || *mode == ColorMode::Always;
}

void addColorOption(CommandLine& line, VolumeOptions& options) {
    line.option("--color", "WHEN", into(options.color),
                "Colour the usage bars: auto (on a terminal, unless NO_COLOR is set), always or "
                "never");
}

void addFilterOptions(CommandLine& line, VolumeOptions& options) {
    line.flag("--all", options.filter.all,
              "Also list special file systems (proc, sysfs, tmpfs, ...)");
    line.flag("--local", options.filter.local, "Leave out network file systems");
    line.option("-t,--type", "TYPE", into(options.filter.types),
                "Only file systems of this type (repeatable, or a comma list)");
    line.option("-x,--exclude-type", "TYPE", into(options.filter.excludedTypes),
                "Leave out file systems of this type (repeatable, or a comma list)");
    addColorOption(line, options);
}

VolumeRow volumeRow(const kx::MountedFileSystem& mount) {
    VolumeRow row;
    row.mount = mount;
    row.space = kx::volumeSpace(mount.mountPoint);
    row.group = volumeGroup(mount.type, mount.source, row.space ? row.space->totalBytes : 0);
    if (row.group != VolumeGroup::Special) {
        row.apfs = GetVolumeAPFS(mount.mountPoint);
        if (row.apfs)
            row.containerUsed = KXFoundationGetAPFSVolUsedSize(mount.mountPoint);
    }
    return row;
}

std::vector<VolumeRow> mountedVolumes(const VolumeFilter& filter) {
    const std::vector<kx::MountedFileSystem> entries = kx::mountedFileSystems();
    std::vector<VolumeRow> rows;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        // Of several mounts on one point only the last is seen there, and statfs reports it.
        const auto later = std::find_if(entries.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                                        entries.end(), [&](const kx::MountedFileSystem& entry) {
                                            return entry.mountPoint == entries[i].mountPoint;
                                        });
        if (later != entries.end())
            continue;
        // Types are known before the file system is asked: an excluded one is never asked.
        if (listed(filter.excludedTypes, entries[i].type) ||
            (!filter.types.empty() && !listed(filter.types, entries[i].type)))
            continue;
        VolumeRow row = volumeRow(entries[i]);
        if (filter.accepts(row, false))
            rows.push_back(std::move(row));
    }
    std::stable_sort(rows.begin(), rows.end(), [](const VolumeRow& a, const VolumeRow& b) {
        return static_cast<int>(a.group) < static_cast<int>(b.group);
    });
    return rows;
}

std::string volumeTable(const std::vector<VolumeRow>& rows, const VolumeOptions& options,
                        bool grouped, const std::string& indent) {
    using Align = Table::Align;
    const bool apfs = std::any_of(rows.begin(), rows.end(), [](const VolumeRow& row) {
        return row.containerUsed.has_value();
    });
    std::vector<Table::Column> columns = {{"MOUNT POINT"},
                                          {"DEVICE"},
                                          {"TYPE"},
                                          {"SIZE", Align::Right},
                                          {"USED", Align::Right},
                                          {"AVAIL", Align::Right},
                                          {"USE%", Align::Right}};
    if (apfs)
        columns.push_back({"CONTAINER USED", Align::Right});
    if (options.bar)
        columns.push_back({"USAGE"});
    Table table(columns);
    for (const VolumeRow& row : rows) {
        const auto percent = percentOf(row);
        std::vector<std::string> cells = {escapeForTerminal(row.mount.mountPoint),
                                          escapeForTerminal(row.mount.source),
                                          escapeForTerminal(row.mount.type),
                                          sizeText(row.space, &kx::VolumeSpace::totalBytes),
                                          sizeText(row.space, &kx::VolumeSpace::usedBytes),
                                          sizeText(row.space, &kx::VolumeSpace::availableBytes),
                                          percent ? std::to_string(*percent) + "%" : "-"};
        if (apfs)
            cells.push_back(row.containerUsed
                                ? KXFoundationConvertBytesToStringValue(*row.containerUsed)
                                : "-");
        if (options.bar)
            cells.push_back(usageBar(percent, kBarWidth, options.colored));
        table.addRow(std::move(cells));
    }
    const std::string text = table.render(grouped ? indent + "  " : indent);
    if (!grouped)
        return text;
    // The header once, then each group under a heading of its own.
    std::string out = text.substr(0, text.find('\n') + 1);
    std::size_t lineStart = out.size();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::size_t lineEnd = text.find('\n', lineStart) + 1;
        if (i == 0 || rows[i].group != rows[i - 1].group)
            out += indent + groupName(rows[i].group) + "\n";
        out += text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd;
    }
    return out;
}

Json volumeJson(const VolumeRow& row) {
    const auto percent = percentOf(row);
    Json entry = Json::object();
    if (!row.path.empty())
        entry["path"] = row.path;
    entry.update(Json{
        {"mountPoint", row.mount.mountPoint},
        {"device", row.mount.source},
        {"type", row.mount.type},
        {"options", row.mount.options},
        {"group", groupName(row.group)},
        {"apfs", row.apfs},
        {"totalBytes", bytes(row.space, &kx::VolumeSpace::totalBytes)},
        {"usedBytes", bytes(row.space, &kx::VolumeSpace::usedBytes)},
        {"freeBytes", bytes(row.space, &kx::VolumeSpace::freeBytes)},
        {"availableBytes", bytes(row.space, &kx::VolumeSpace::availableBytes)},
        {"usePercent", percent ? Json(*percent) : Json()},
        {"total", sizeText(row.space, &kx::VolumeSpace::totalBytes)},
        {"used", sizeText(row.space, &kx::VolumeSpace::usedBytes)},
        {"free", sizeText(row.space, &kx::VolumeSpace::freeBytes)},
        {"available", sizeText(row.space, &kx::VolumeSpace::availableBytes)},
        {"containerUsedBytes", nullptr},
        {"containerUsed", nullptr},
    });
    if (row.containerUsed) {
        // The container's counts are whole bytes that came through a double.
        const double used = std::max(0.0, std::round(*row.containerUsed));
        entry["containerUsedBytes"] =
            used < 1.8e19 ? Json(static_cast<std::uint64_t>(used)) : Json();
        entry["containerUsed"] = KXFoundationConvertBytesToStringValue(*row.containerUsed);
    }
    return entry;
}

Runner addDfCommand(CommandLine& line, bool& json) {
    const auto paths = std::make_shared<std::vector<std::string>>();
    const auto options = std::make_shared<VolumeOptions>();
    line.argument("PATH", CommandLine::Arity::OptionalMany, into(*paths),
                  "A file or folder whose volume to show");
    addFilterOptions(line, *options);
    addJsonFlag(line, json);
    return [paths, options, &json] { return dfCommand(*paths, *options, json); };
}

} // namespace vivozi
