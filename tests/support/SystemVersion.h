#pragma once

#include "support/TestSupport.h"

#include <string>

namespace vztest {

// For one scope the running system reports `version`: a fake sw_vers prints it (alone with
// -productVersion, else with a product name and build), and a fresh defaults file holds the
// version cache, so the first query runs the tool.
class ScopedSystemVersion {
public:
    explicit ScopedSystemVersion(std::string version);
    ScopedSystemVersion(const ScopedSystemVersion&) = delete;
    ScopedSystemVersion& operator=(const ScopedSystemVersion&) = delete;

    const std::string& swVersPath() const { return swVers_; }
    const std::string& defaultsPath() const { return defaults_; }

private:
    TempDir dir_; // first, so that it is removed after the table stops pointing into it
    std::string swVers_;
    std::string defaults_;
    ScopedSystemPaths paths_;
};

} // namespace vztest
