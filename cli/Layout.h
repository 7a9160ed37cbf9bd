#pragma once

// Where vivozi finds its own files: beside the build tree it was built in, or relative to where
// it is installed, so that an installed tree can be moved as a whole.

#include <optional>
#include <string>

namespace vivozi {

// The absolute path of the running program; "" when the system does not say.
std::string executablePath();

// The folder holding the bundled sample sets (daily/, weekly/, ...); nullopt when not found.
std::optional<std::string> sampleSetsFolder();

// Where the sample sets do their work unless told otherwise:
// ${XDG_STATE_HOME:-$HOME/.local/state}/vivozi-demo, each variable only when it is an absolute
// path, the home from the password database when HOME is not. nullopt when there is no home:
// never a shared folder such as /tmp, where another user could have made it first.
std::optional<std::string> defaultDemoFolder();

} // namespace vivozi
