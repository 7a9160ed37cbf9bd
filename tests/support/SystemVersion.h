#pragma once

#include "support/TestSupport.h"

#include <string>

namespace vztest {

// For the scope of one test, the running system reports `version`: a fake sw_vers in a temporary
// folder prints it (alone with -productVersion, as "ProductName:\t...\nProductVersion:\t...\n
// BuildVersion:\t..." without arguments), and a fresh, empty defaults file holds the version
// cache, so the first query runs the fake tool. The previous path table comes back afterwards.
class ScopedSystemVersion {
public:
    explicit ScopedSystemVersion(std::string version);
    ScopedSystemVersion(const ScopedSystemVersion&) = delete;
    ScopedSystemVersion& operator=(const ScopedSystemVersion&) = delete;

    const std::string& version() const { return version_; }
    const std::string& swVersPath() const { return swVers_; }
    const std::string& defaultsPath() const { return defaults_; }
    const std::string& folder() const { return dir_.path(); }

private:
    // Declared first so that it is removed last, after the table no longer points into it.
    TempDir dir_;
    std::string version_;
    std::string swVers_;
    std::string defaults_;
    ScopedSystemPaths paths_;
};

} // namespace vztest
