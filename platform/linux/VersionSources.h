// Only Linux code lives under platform/linux/: here, the files that tell the system's version.
#pragma once

// The files the sw_vers stand-in reads, shared with the library, which watches them to notice a
// system update.

namespace kx {

// os-release, first found of the two.
inline constexpr const char* kOsReleasePaths[] = {"/etc/os-release", "/usr/lib/os-release"};
// Debian's point release ("12.11"), finer than os-release's VERSION_ID ("12").
inline constexpr const char* kDebianVersionPath = "/etc/debian_version";

} // namespace kx
