#pragma once

#include <VivoziZevidodirid/Export.h>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace kx {

// Which files of a maintenance set run, in which order: the rules of the periodic stand-in, for
// hosts that show a set without running it.

// A set name the stand-in accepts: not empty, ASCII letters, digits, '_' and '-' only.
VZ_EXPORT bool isMaintenanceSetName(std::string_view name);

// The folder the set runs from: ROOT/periodic/NAME when that is a folder, else ROOT/cron.NAME
// when that is; "" for neither or a name the stand-in refuses. ROOT is /etc on a live system.
VZ_EXPORT std::string maintenanceSetFolder(std::string_view root, std::string_view name);

enum class LeftOutReason {
    NameNotRun,     // a name other than letters, digits, '_' and '-' (a dot, "~", a blank...)
    NotRegularFile, // a folder, a device, a dangling link
    NotExecutable,
};

// "name has characters other than letters, digits, '_' and '-'", "not a regular file",
// "not executable".
VZ_EXPORT std::string_view leftOutReasonText(LeftOutReason reason);

struct LeftOutFile {
    std::string name;
    LeftOutReason reason;
};

struct SetListing {
    std::vector<std::string> scripts; // paths, in the order they run (byte order of names)
    std::vector<LeftOutFile> leftOut; // by name
    // Set when the folder could not be listed to its end; the lists are then empty, because a
    // set read in part is not a set run.
    std::error_code error;
};

// Lists the set folder. Links are followed to decide what a file is.
VZ_EXPORT SetListing listMaintenanceSet(const std::string& folder);

} // namespace kx
