#pragma once

#include <VivoziZevidodirid/PlistValue.h>
#include <string>

namespace kx {

// The APFS layout as the disk tool's "apfs list -plist" describes it, built from the APFS file
// systems in the mount table at tablePath: one container per mounted source, named by the
// source's last path component, holding one volume per mount of it. A table without APFS
// mounts, or one that cannot be read, gives an empty "Containers" array.
PlistValue apfsListingFromMountTable(const std::string& tablePath);

} // namespace kx
