// Only Linux code lives under platform/linux/: here, the path table a Linux system starts with.
#include "platform/linux/StandInDirectory.h"
#include "platform/linux/VersionSources.h"

#include <VivoziZevidodirid/SystemPaths.h>

namespace kx {

SystemPaths defaultSystemPaths() {
    const std::string standIns = standInDirectory();
    // Entries left empty fall back to their users' own defaults.
    SystemPaths paths;
    paths.periodic = standIns + "/periodic";
    paths.diskutil = standIns + "/diskutil";
    paths.swVers = standIns + "/sw_vers";
    paths.tmutil = "/usr/bin/tmutil"; // no Linux counterpart: its queries answer no value
    paths.sqlite3 = "/usr/bin/sqlite3";
    paths.privacyDatabase = "/Library/Application Support/com.apple.TCC/TCC.db";
    paths.temporaryDirectory = "/tmp";
    paths.mountTable = "/proc/self/mounts";
    paths.versionSources = {kOsReleasePaths[0], kOsReleasePaths[1], kDebianVersionPath};
    return paths;
}

} // namespace kx
