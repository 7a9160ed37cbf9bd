#pragma once

#include <VivoziZevidodirid/Export.h>
#include <VivoziZevidodirid/PlistValue.h>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The running system's product version, cached under "KXCurrentSWVers" in the user's defaults;
// nullopt when the version tool's output is not ASCII.
VZ_EXPORT std::optional<std::string> KXGetCurrentSystemString();

// Every "name: value" line of the version tool, cached under "KXCurrentSWVersDict"; a
// dictionary of strings, possibly empty, never absent.
VZ_EXPORT PlistValue KXGetCurrentSystemDictionary();

// -1 when the running system is older than version, 0 when the same (or when either is absent
// or version is ""), +1 when newer. version loses the letters, marks and white space (not line
// breaks) at its ends; then runs of digits compare by value, leading zeros not counting ("10.01"
// equals "10.1"), every other character by its code point, and an initial part orders first.
VZ_EXPORT std::int64_t KXCompareCurrentSystemVersionWith(std::optional<std::string_view> version);
