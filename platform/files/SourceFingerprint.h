#pragma once

#include <chrono>
#include <string>

namespace kx {

// How long a process trusts its last look at the version tool's sources. One look costs a stat
// per source, each as dear as a whole warm version query; once per interval costs nothing
// measurable and still notices an update within it. A new system-path table is looked at at once.
inline constexpr std::chrono::milliseconds kVersionSourcesRecheck{100};

// A text that differs whenever one of systemPaths().versionSources is replaced, changed, created
// or removed, or the kernel release differs: each source's device, inode, size and modification
// time (or its absence), and the release. Valid until the calling thread's next call.
const std::string& versionSourceFingerprint();

} // namespace kx
