#pragma once

#include <VivoziZevidodirid/SystemPaths.h>
#include <cstdint>
#include <string>

namespace kx {

// The table is read on every call; these spare the hot paths a copy of all of it.

// One entry of the table in force, such as systemPath(&SystemPaths::userDefaults).
std::string systemPath(std::string SystemPaths::*entry);

// Counts the replacements of the table, so that a reader may keep what it derived from the table
// for as long as this stays the same.
std::uint64_t systemPathsGeneration();

} // namespace kx
