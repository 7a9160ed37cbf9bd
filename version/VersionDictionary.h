#pragma once

#include <VivoziZevidodirid/PlistValue.h>
#include <string_view>

namespace vz {

// The version dictionary read from the version tool's text: for every line with a colon, the
// text before it (as printed) maps to the text after it up to any second colon, trimmed of
// white space and line breaks; a later line replaces an earlier one of the same name.
PlistValue versionDictionaryFromText(std::string_view text);

} // namespace vz
