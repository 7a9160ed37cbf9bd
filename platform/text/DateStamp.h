#pragma once

#include <string>
#include <string_view>

namespace kx {

// The ICU locale name for a POSIX locale name ("de_DE.UTF-8", "sr_RS@latin", "C"). The codeset is
// dropped, the script modifiers "latin" and "cyrillic" become a script subtag, other modifiers
// are dropped. C and POSIX (with or without a codeset), any name whose language or territory ICU
// refuses as a subtag (too long, not ASCII letters or digits), and a language ICU has no data
// for become en_US_POSIX.
std::string icuLocaleFromPosixName(std::string_view posixName);

// The POSIX name of the user's locale for dates: LC_ALL, else LC_TIME, else LANG, each skipped
// when unset or empty; "C" when all three are.
std::string posixDateLocaleName();

// The instant, given in milliseconds since the Unix epoch, as the locale's best rendering of the
// skeleton "EEEEdMMMMyyyyhhmmss" (weekday, day, month, year, 12-hour time with seconds), in the
// user's locale for dates and the system's current time zone. Nothing is cached between calls.
// When ICU cannot build a formatter for that locale, in en_US_POSIX; "" only when it cannot build
// that one either.
std::string formatDateStamp(double unixMilliseconds);

// formatDateStamp for the current instant.
std::string currentDateStamp();

} // namespace kx
