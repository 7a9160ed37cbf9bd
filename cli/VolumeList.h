#pragma once

// The volume listing shared by the report and `vivozi df`: what is gathered of each mounted file
// system, which ones show, and how they print.

#include "cli/CommandLine.h"
#include "cli/Format.h"

#include <VivoziZevidodirid/Mounts.h>
#include <optional>
#include <string>
#include <vector>

namespace vivozi {

struct VolumeRow {
    kx::MountedFileSystem mount;
    std::optional<kx::VolumeSpace> space; // none when the file system cannot be asked
    VolumeGroup group = VolumeGroup::Local;
    bool apfs = false;
    std::optional<double> containerUsed; // APFS volumes only
    std::string path;                    // the path asked about (df PATH), "" otherwise
};

// Which volumes show. A type named with --type shows even when it is special; a path named
// on the command line shows its volume whatever its group.
struct VolumeFilter {
    bool all = false;
    bool local = false;
    std::vector<std::string> types;         // comma lists split
    std::vector<std::string> excludedTypes; // likewise
    bool accepts(const VolumeRow& row, bool named) const;
};

// The options of a volume listing and how it prints, shared by the commands that have one.
struct VolumeOptions {
    VolumeFilter filter;
    std::string color = "auto";
    // The bar on a terminal (or when colour is forced), coloured unless NO_COLOR or --color says.
    bool bar = false;
    bool colored = false;
    // Checks --color and splits the type lists; throws UsageError.
    void settle();
};
// --color (and with filters, --type, --exclude-type and --local) on a command.
void addColorOption(CommandLine& line, VolumeOptions& options);
void addFilterOptions(CommandLine& line, VolumeOptions& options);

VolumeRow volumeRow(const kx::MountedFileSystem& mount);
// The mount table's volumes that pass the filter, local ones first, then network, then
// special, each in table order; of several mounts on one point, only the one seen there.
std::vector<VolumeRow> mountedVolumes(const VolumeFilter& filter);

// A table of the rows, each line begun with indent; grouped: a heading at indent before each
// group, the table two blanks further in.
std::string volumeTable(const std::vector<VolumeRow>& rows, const VolumeOptions& options,
                        bool grouped, const std::string& indent);
// A row as JSON: byte counts as integers (null when unknown), sizes also as text.
Json volumeJson(const VolumeRow& row);

} // namespace vivozi
