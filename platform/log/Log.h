#pragma once

#include <functional>
#include <string_view>

namespace kx {

// Writes text as one entry of the system log (syslog, facility user, level notice), under the
// host's own identity.
void logLine(std::string_view text);

// Hands every later line to observer as well, until replaced; an empty function removes it. A
// seam for tests, which cannot read the system log back.
void setLogObserver(std::function<void(std::string_view)> observer);

} // namespace kx
