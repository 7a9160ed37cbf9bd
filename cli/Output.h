#pragma once

// What vivozi does about its own standard streams before and after a command.

namespace vivozi {

// Flushes standard output. After a write error, says so in one line on standard error and
// answers kExitFailure in place of a success; any other status stands.
int finishOutput(int status);

} // namespace vivozi
