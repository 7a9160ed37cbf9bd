#pragma once

#include "support/TestSupport.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <optional>
#include <string>
#include <vector>

namespace vztest {

using Name = std::optional<std::string_view>;

// A name as a trace shows it.
inline std::string shown(Name name) {
    return name ? std::string(*name) : "(null)";
}

// A mount table written by the test, in force for the scope of this object.
class ScopedMountTable {
public:
    explicit ScopedMountTable(std::string_view content);

private:
    TempDir dir_;
    ScopedSystemPaths paths_;
};

// The pieces of a disk tool's "apfs list -plist" output.
struct FakeVolume {
    std::string identifier;
    std::optional<std::vector<std::string>> roles; // nullopt: no "Roles" key
};

struct FakeContainer {
    std::string reference;
    std::string designatedStore;
    std::vector<std::string> physicalStores;
    std::vector<FakeVolume> volumes;
    std::optional<std::int64_t> ceiling;
    std::optional<std::int64_t> free;
};

std::string apfsListingXml(const std::vector<FakeContainer>& containers);

// A fake disk tool that prints `output` and records each run's arguments, one line per run.
class ScopedFakeDiskTool {
public:
    explicit ScopedFakeDiskTool(std::string_view output);
    std::vector<std::string> runs() const;

private:
    TempDir dir_;
    ScopedSystemPaths paths_;
};

} // namespace vztest
