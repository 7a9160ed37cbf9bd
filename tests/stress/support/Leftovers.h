#pragma once

#include <set>
#include <string>

namespace vztest {

// What a call might leave behind: the process's open descriptors (with what each refers to),
// but for the defaults store's own, and the entries of a folder.
struct Leftovers {
    explicit Leftovers(const std::string& folder);
    std::set<std::string> descriptors;
    std::set<std::string> files;
    friend bool operator==(const Leftovers&, const Leftovers&) = default;
};

// Prints both sets, for a failed comparison.
std::ostream& operator<<(std::ostream& out, const Leftovers& leftovers);

// Whether any child of this process has exited and not been reaped, or still runs.
bool hasUnreapedChild();

} // namespace vztest
