#pragma once

#include "support/TestSupport.h"

#include <string>

namespace vztest {

// For one scope the running system is `product` at `version`: a fake sw_vers prints the version
// (alone with -productVersion, else with the product name and a build), and a fresh defaults file
// holds the version cache, so the first query runs the tool.
class ScopedSystemVersion {
public:
    explicit ScopedSystemVersion(const std::string& version, const std::string& product = "macOS") {
        // The tool runs with an empty environment: shell builtins only.
        writeScript(swVers_, "if [ \"$1\" = -productVersion ]; then echo '" + version +
                                 "'\nelse printf 'ProductName:\t%s\nProductVersion:"
                                 "\t%s\nBuildVersion:\t0T0\n' '" +
                                 product + "' '" + version + "'\nfi\n");
        paths_.set(&kx::SystemPaths::swVers, swVers_)
            .set(&kx::SystemPaths::userDefaults, defaults_);
    }

    const std::string& swVersPath() const { return swVers_; }
    const std::string& defaultsPath() const { return defaults_; }

private:
    TempDir dir_; // first, so that it is removed after the table stops pointing into it; no copies
    std::string swVers_ = dir_.file("sw_vers");
    std::string defaults_ = dir_.file("defaults/defaults.plist");
    ScopedSystemPaths paths_;
};

} // namespace vztest
