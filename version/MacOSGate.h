#pragma once

#include <string_view>

namespace vz {

// The library's own feature gates ("10.6" for decimal size units, "10.12"/"10.13" for APFS,
// "10.14" for Full Disk Access): true when the running system is macOS older than version, as
// KXCompareCurrentSystemVersionWith answers -1. A system whose version dictionary names another
// product is never older: its version numbers say nothing of macOS, and each gated feature
// exists there or answers "none" through its stand-in. Without a product name the system is
// taken for macOS.
bool runningMacOSOlderThan(std::string_view version);

} // namespace vz
