#pragma once

// Dates: the calendar, the ISO 8601 text of <date> elements, and the range both readers accept.
// Internal to platform/plist.

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx::plist {

// The farthest a date may lie from the reference date, in seconds. Every such date has a
// calendar form (years within about +-146 billion) that fits the 64-bit arithmetic below, so
// the readers accept no date beyond it and the writers clamp to it.
inline constexpr std::int64_t kMaxDateSeconds = std::int64_t{1} << 62;

inline bool isWithinDateRange(double secondsSinceReferenceDate) {
    return std::fabs(secondsSinceReferenceDate) <= static_cast<double>(kMaxDateSeconds);
}

// [+-]YYYY-MM-DDTHH:MM:SS[.fraction]Z, white space around allowed. The year has at least four
// digits (a sign is allowed for years outside 0000-9999), fields are range checked in the
// proleptic Gregorian calendar, and the date lies within kMaxDateSeconds. Seconds since
// 2001-01-01T00:00:00Z.
bool parseDate(std::string_view text, double& secondsSinceReferenceDate);
// The same form, the fraction written only when the seconds are not whole, and written so
// that parseDate gives back the same double: the writer puts down the shortest decimal of the
// value, the reader rounds that exact decimal once. Dates that are not finite are written as
// the reference date; dates beyond kMaxDateSeconds are clamped there.
void appendDate(std::string& out, double secondsSinceReferenceDate);

// Calendar fields of a time, for the human-readable form.
struct CivilTime {
    std::int64_t year;
    unsigned month, day, hour, minute, second;
};
// Splits whole seconds since the reference date into UTC calendar fields
// (|seconds| <= kMaxDateSeconds).
CivilTime civilFromSeconds(std::int64_t secondsSinceReferenceDate);

} // namespace kx::plist
