#pragma once

#include <VivoziZevidodirid/PlistValue.h>
#include <VivoziZevidodirid/Volumes.h>
#include <optional>
#include <string>
#include <string_view>

namespace vz {

// The disk tool's "apfs list -plist", run once and parsed; absent when it printed no property
// list.
PlistValue runApfsListing();

// The walks over a parsed listing, one per query.
PlistValue containerInListing(const PlistValue& listing, std::string_view name);
std::optional<std::string> roleVolumeInListing(const PlistValue& listing, std::string_view bareName,
                                               std::string_view role);
APFSVolumeRole volumeRoleInListing(const PlistValue& listing, std::string_view name);

} // namespace vz
