#pragma once

#include <VivoziZevidodirid/Export.h>
#include <string>
#include <vector>

namespace kx {

// Every absolute path the library touches. Read on every call, so a change takes effect at once.
struct SystemPaths {
    std::string periodic;           // "/usr/sbin/periodic" on macOS
    std::string diskutil;           // "/usr/sbin/diskutil"
    std::string swVers;             // "/usr/bin/sw_vers"
    std::string tmutil;             // "/usr/bin/tmutil"
    std::string sqlite3;            // "/usr/bin/sqlite3"
    std::string privacyDatabase;    // "/Library/Application Support/com.apple.TCC/TCC.db"
    std::string temporaryDirectory; // "/tmp"
    std::string mountTable;         // "/proc/self/mounts" (Linux only)
    std::string userDefaults;       // the standard store's file; empty: the XDG location
    // What the version tool reads ("/System/Library/CoreServices/SystemVersion.plist"): the
    // cached version is refreshed when one of them is replaced, changed, created or removed.
    std::vector<std::string> versionSources;
    // The maintenance journal; empty: root's under /var/lib, another account's under its home.
    std::string journal;
};

// A copy of the table in force.
VZ_EXPORT SystemPaths systemPaths();
// Replaces the table (hosts with another layout, and tests). Thread-safe.
VZ_EXPORT void setSystemPaths(SystemPaths paths);
// The table this system starts with.
VZ_EXPORT SystemPaths defaultSystemPaths();

} // namespace kx
