#include <VivoziZevidodirid/MaintenanceSets.h>
#include <algorithm>
#include <filesystem>

namespace fs = std::filesystem;

namespace kx {

bool isMaintenanceSetName(std::string_view name) {
    // As run-parts by default: package leftovers ("x.dpkg-old"), editor backups ("x~") and
    // hidden files are never run. The same rule keeps a set name from walking out of its root.
    return !name.empty() && std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

std::string maintenanceSetFolder(std::string_view root, std::string_view name) {
    if (!isMaintenanceSetName(name))
        return {};
    const fs::path base(root);
    std::error_code error;
    for (fs::path folder : {base / "periodic" / name, base / ("cron." + std::string(name))})
        if (fs::is_directory(folder, error))
            return folder.native();
    return {};
}

std::string_view leftOutReasonText(LeftOutReason reason) {
    switch (reason) {
    case LeftOutReason::NameNotRun:
        return "name has characters other than letters, digits, '_' and '-'";
    case LeftOutReason::NotRegularFile:
        return "not a regular file";
    case LeftOutReason::NotExecutable:
        return "not executable";
    }
    return "left out";
}

SetListing listMaintenanceSet(const std::string& folder) {
    SetListing listing;
    std::vector<std::pair<std::string, std::string>> scripts; // name, path
    std::error_code error;
    fs::directory_iterator entry(folder, error);
    for (; !error && entry != fs::directory_iterator(); entry.increment(error)) {
        const fs::path& path = entry->path();
        std::string name = path.filename().native();
        std::error_code statusError;
        const fs::file_status status = fs::status(path, statusError);
        constexpr fs::perms anyExecute =
            fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
        if (!isMaintenanceSetName(name))
            listing.leftOut.push_back({std::move(name), LeftOutReason::NameNotRun});
        else if (statusError || !fs::is_regular_file(status))
            listing.leftOut.push_back({std::move(name), LeftOutReason::NotRegularFile});
        else if ((status.permissions() & anyExecute) == fs::perms::none)
            listing.leftOut.push_back({std::move(name), LeftOutReason::NotExecutable});
        else
            scripts.emplace_back(std::move(name), path.native());
    }
    if (error) {
        listing.error = error;
        listing.leftOut.clear();
        return listing;
    }
    std::sort(scripts.begin(), scripts.end());
    std::sort(listing.leftOut.begin(), listing.leftOut.end(),
              [](const LeftOutFile& a, const LeftOutFile& b) { return a.name < b.name; });
    for (auto& [name, path] : scripts)
        listing.scripts.push_back(std::move(path));
    return listing;
}

} // namespace kx
