#pragma once

#include <chrono>

namespace vz {

// The pause after every progress broadcast: one second. Tests shorten it; nothing else should.
std::chrono::nanoseconds progressPause();
void setProgressPause(std::chrono::nanoseconds pause);

} // namespace vz
