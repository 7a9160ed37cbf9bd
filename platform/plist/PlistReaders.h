#pragma once

// The two readers behind PlistValue::parse. Internal to platform/plist.

#include <VivoziZevidodirid/PlistValue.h>
#include <string_view>

namespace kx::plist {

// An XML property list; absent when malformed (see PlistXmlReader.cpp for the rules).
PlistValue readXml(std::string_view bytes);
// A binary property list ("bplist00"); absent when malformed or hostile (see
// PlistBinaryReader.cpp for the checks).
PlistValue readBinary(std::string_view bytes);

} // namespace kx::plist
