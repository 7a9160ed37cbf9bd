#include "VolumesFixtures.h"

#include <cstdio>
#include <sstream>

namespace vztest {
namespace {

std::string number(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    return buffer;
}

} // namespace

ScopedMountTable::ScopedMountTable(std::string_view content)
    : path_(dir_.file("mounts")), paths_() {
    writeFile(path_, content);
    paths_.edit().mountTable = path_;
    paths_.apply();
}

std::string apfsListingXml(const std::vector<FakeContainer>& containers) {
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n<key>Containers</key>\n<array>\n";
    for (const auto& container : containers) {
        xml << "<dict>\n";
        if (container.ceiling)
            xml << "<key>CapacityCeiling</key><integer>" << number(*container.ceiling)
                << "</integer>\n";
        if (container.free)
            xml << "<key>CapacityFree</key><integer>" << number(*container.free) << "</integer>\n";
        xml << "<key>ContainerReference</key><string>" << container.reference << "</string>\n";
        xml << "<key>DesignatedPhysicalStore</key><string>" << container.designatedStore
            << "</string>\n";
        xml << "<key>PhysicalStores</key><array>\n";
        for (const auto& store : container.physicalStores)
            xml << "<dict><key>DeviceIdentifier</key><string>" << store
                << "</string><key>Size</key><integer>1000</integer></dict>\n";
        xml << "</array>\n<key>Volumes</key><array>\n";
        for (const auto& volume : container.volumes) {
            xml << "<dict><key>DeviceIdentifier</key><string>" << volume.identifier
                << "</string>\n";
            if (volume.roles) {
                xml << "<key>Roles</key><array>";
                for (const auto& role : *volume.roles)
                    xml << "<string>" << role << "</string>";
                xml << "</array>\n";
            }
            xml << "</dict>\n";
        }
        xml << "</array>\n</dict>\n";
    }
    xml << "</array>\n</dict>\n</plist>\n";
    return xml.str();
}

ScopedFakeDiskTool::ScopedFakeDiskTool(std::string_view output)
    : tool_(dir_.file("diskutil")), paths_() {
    writeFile(dir_.file("output"), output);
    // The tool runs with an empty environment: no PATH, so every program by its full path.
    writeScript(tool_, "echo \"$@\" >> '" + dir_.file("runs") + "'\n/bin/cat '" +
                           dir_.file("output") + "'\n");
    paths_.edit().diskutil = tool_;
    paths_.apply();
}

std::vector<std::string> ScopedFakeDiskTool::runs() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(dir_.file("runs")));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace vztest
