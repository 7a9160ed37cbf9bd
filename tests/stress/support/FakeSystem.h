#pragma once

#include "support/SystemVersion.h"
#include "support/TestSupport.h"

#include <functional>
#include <string>
#include <vector>

namespace vztest {

// A whole system of fake tools for one scope: sw_vers reports 13.5 (with a fresh defaults store),
// the mount table lists one APFS container's volumes, diskutil lists that container, tmutil
// prints its arguments back as a property-list array, and sqlite3 lists rows granting Full Disk
// Access to every client. Any tool can be replaced with setTool.
class FakeSystem {
public:
    FakeSystem();
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    const std::string& folder() const { return dir_.path(); }
    std::string file(std::string_view name) const { return dir_.file(name); }
    const std::string& defaultsPath() const { return version_.defaultsPath(); }
    // A folder on a real file system, for the capacity queries, and its total size.
    const std::string& volumePath() const { return dir_.path(); }
    double volumeTotal() const { return volumeTotal_; }

    // Replaces the script of one tool ("diskutil", "sw_vers", "tmutil", "sqlite3", "periodic").
    void setTool(std::string_view name, std::string_view body);
    std::string toolPath(std::string_view name) const;

    // The unchanged listing diskutil prints.
    static std::string listingXml();

private:
    ScopedSystemVersion version_{"13.5"};
    TempDir dir_;
    ScopedSystemPaths paths_;
    double volumeTotal_ = 0;
};

// One query of the library with a check of its answer against the fake system: "" when the
// answer is right, otherwise what was wrong. caller tells concurrent callers apart (tmutil
// arguments), so that an answer meant for another caller is caught.
struct Query {
    std::string name;
    std::function<std::string(int caller)> run;
};

// Every exported query, each checked.
std::vector<Query> everyQuery(const FakeSystem& system);

} // namespace vztest
