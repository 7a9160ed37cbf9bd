#pragma once

// The text of <integer> and <real> elements. Internal to platform/plist.

#include <VivoziZevidodirid/PlistValue.h>
#include <string>
#include <string_view>

namespace kx::plist {

// Optional white space around, an optional sign, then decimal digits or 0x/0X and hexadecimal
// digits. Values above INT64_MAX up to UINT64_MAX become unsigned integers; anything out of
// range or malformed fails.
bool parseInteger(std::string_view text, PlistValue::Integer& out);
// A decimal or exponent number as strtod reads it in the C locale, or nan, inf, infinity with an
// optional sign (case-insensitive). Overflow gives an infinity.
bool parseReal(std::string_view text, double& out);
// A real in a form parseReal reads back to the same bits (shortest round trip; "nan", "inf",
// "-inf" for the special values).
void appendReal(std::string& out, double value);

} // namespace kx::plist
