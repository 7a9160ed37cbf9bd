#pragma once

#include "support/SystemVersion.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace vztest {

// For one scope: macOS 13.5, one APFS container mounted and listed, a tmutil printing its
// arguments back as a property-list array, and Full Disk Access granted to every client.
class FakeSystem {
public:
    FakeSystem();
    // Also a folder on a real file system, for the capacity queries.
    const std::string& folder() const { return dir_.path(); }
    std::string file(std::string_view name) const { return dir_.file(name); }
    const std::string& defaultsPath() const { return version_.defaultsPath(); }
    // Replaces the script of "diskutil", "tmutil" or "sqlite3".
    void setTool(std::string_view name, std::string_view body) const {
        writeScript(file(name), body);
    }

private:
    ScopedSystemVersion version_{"13.5"};
    TempDir dir_;
    ScopedSystemPaths paths_;
};

// An exported query with a check of its answer: "" when right, else what was wrong. caller goes
// into the tmutil arguments, so an answer meant for another caller is caught.
struct Query {
    std::string name;
    std::function<std::string(int caller)> run;
};
std::vector<Query> everyQuery(const FakeSystem& system);

// What each query got wrong asked by caller, by name; with neutral, the answer a query gives when
// it cannot ask passes too.
using Wrong = std::map<std::string, std::string>;
Wrong wrongAnswers(const std::vector<Query>& queries, int caller = 0, bool neutral = false);

// What a call might leave behind: open descriptors with their targets (but the defaults store's
// own), and the entries of folder if one is given.
std::set<std::string> leftovers(const std::string& folder = {});

} // namespace vztest
