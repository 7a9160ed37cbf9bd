#pragma once

// How the journal's records read, shared by run (a failed set's scripts), status, history and
// log. Output of scripts comes from other programs: it is escaped for the terminal here.

#include "cli/Format.h"

#include <VivoziZevidodirid/Journal.h>
#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace vivozi {

// "2026-12-07 23:28:17" in local time.
std::string localTimeText(kx::JournalTime at);
// "2026-12-07T23:28:17.123456Z".
std::string isoTimeText(kx::JournalTime at);
// "45s", "3min 5s", "2h 4min", "3 days 2h": the two largest units, as systemctl shows them.
std::string spanText(std::chrono::microseconds span);

// "exit status 3", "signal 9 (SIGKILL)", "running", "did not finish".
std::string scriptEndText(const kx::ScriptRecord& script);
// Ended with anything but exit status 0, or never ended.
bool scriptFailed(const kx::ScriptRecord& script);

// The last `count` lines of output, each escaped for a terminal; a final line without its line
// feed counts.
std::vector<std::string> lastLines(std::string_view output, std::size_t count);

Json runJson(const kx::RunRecord& run);
// withOutput false leaves the output out, for listings.
Json scriptJson(const kx::ScriptRecord& script, bool withOutput);

} // namespace vivozi
