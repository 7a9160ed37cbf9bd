#pragma once

// Text forms shared by the property-list reader and writers: base64, ISO 8601 dates, numbers.
// Internal to platform/plist.

#include <VivoziZevidodirid/PlistValue.h>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx::plist {

// XML white space: space, tab, line feed, carriage return.
inline bool isXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool isAllXmlSpace(std::string_view text);
std::string_view trimXmlSpace(std::string_view text);

// Base64 (RFC 4648 alphabet). Decoding skips XML white space anywhere, accepts the text with or
// without its '=' padding, and fails on any other character, on '=' anywhere but the end, and
// on a length that leaves a single dangling character.
bool decodeBase64(std::string_view text, PlistValue::Data& out);
// Appends the encoding of bytes as lines of at most lineLength characters, each line preceded
// by indent and followed by '\n'. Nothing is appended for no bytes.
void appendBase64Lines(std::string& out, const std::uint8_t* bytes, std::size_t size,
                       std::string_view indent, std::size_t lineLength);

// <integer> text: optional white space around, an optional sign, then decimal digits or 0x/0X
// and hexadecimal digits. Values above INT64_MAX up to UINT64_MAX become unsigned integers;
// anything out of range or malformed fails.
bool parseInteger(std::string_view text, PlistValue::Integer& out);
// <real> text: a decimal or exponent number as strtod reads it in the C locale, or nan, inf,
// infinity with an optional sign (case-insensitive). Overflow gives an infinity.
bool parseReal(std::string_view text, double& out);
// A real in a form parseReal reads back to the same bits (shortest round trip; "nan", "inf",
// "-inf" for the special values).
void appendReal(std::string& out, double value);

// <date> text: [+-]YYYY-MM-DDTHH:MM:SS[.fraction]Z, white space around allowed. The year has
// at least four digits (a sign is allowed for years outside 0000-9999), fields are range
// checked in the proleptic Gregorian calendar. Seconds since 2001-01-01T00:00:00Z.
bool parseDate(std::string_view text, double& secondsSinceReferenceDate);
// The same form, the fraction written only when the seconds are not whole, and written so
// that parseDate gives back the same double: the writer puts down the shortest decimal of the
// value, the reader rounds that exact decimal once. Dates that are not finite are written as
// the reference date; dates beyond +-2^62 seconds are clamped there (no calendar form exists).
void appendDate(std::string& out, double secondsSinceReferenceDate);

// Calendar fields of a time, for the human-readable form.
struct CivilTime {
    std::int64_t year;
    unsigned month, day, hour, minute, second;
};
// Splits whole seconds since the reference date into UTC calendar fields (|seconds| < 2^62).
CivilTime civilFromSeconds(std::int64_t secondsSinceReferenceDate);

} // namespace kx::plist
