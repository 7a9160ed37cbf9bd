// The Linux stand-in for diskutil: "diskutil apfs list -plist" describes the APFS file systems
// in the mount table, in the shape the APFS queries read.

#include "libexec/diskutil/ApfsListing.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <cstdio>
#include <string_view>

int main(int argc, char** argv) {
    const bool listing = argc == 4 && std::string_view(argv[1]) == "apfs" &&
                         std::string_view(argv[2]) == "list" &&
                         std::string_view(argv[3]) == "-plist";
    if (!listing) {
        std::fputs("usage: diskutil apfs list -plist\n", stderr);
        return 1;
    }
    const std::string xml = kx::apfsListingFromMountTable(kx::systemPaths().mountTable).xml();
    if (std::fwrite(xml.data(), 1, xml.size(), stdout) != xml.size() || std::fflush(stdout) != 0)
        return 1;
    return 0;
}
