#pragma once

#include <VivoziZevidodirid/PlistValue.h>
#include <string>

namespace vz {

// "<percent>|<status>|<name>" for a fraction done of 0.0 to 1.0: the percentage is the
// single-precision product fraction * 100, printed with no fractional digits (a half goes to the
// even neighbour); the two values follow unquoted. A string prints as its text, a number
// in its shortest decimal form, anything else (a missing value included) as "(null)".
std::string progressText(float fraction, const PlistValue& status, const PlistValue& name);

} // namespace vz
