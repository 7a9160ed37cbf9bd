#pragma once

#include "support/TestSupport.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <optional>
#include <string>
#include <vector>

namespace vztest {

// A mount table written by the test, in force for the scope of this object.
class ScopedMountTable {
public:
    explicit ScopedMountTable(std::string_view content);
    const std::string& path() const { return path_; }

private:
    TempDir dir_;
    std::string path_;
    ScopedSystemPaths paths_;
};

// The pieces of a disk tool's "apfs list -plist" output, as the tool writes it (XML).
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
    // The argument lines of every run so far.
    std::vector<std::string> runs() const;
    const std::string& path() const { return tool_; }

private:
    TempDir dir_;
    std::string tool_;
    ScopedSystemPaths paths_;
};

} // namespace vztest
