#include "support/SystemVersion.h"

namespace vztest {

ScopedSystemVersion::ScopedSystemVersion(std::string version)
    : swVers_(dir_.file("sw_vers")), defaults_(dir_.file("defaults/defaults.plist")) {
    std::string quoted = "'"; // one single-quoted shell word
    for (char c : version)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    quoted += "'";
    // The tool runs with an empty environment: nothing but shell builtins here.
    writeScript(swVers_, "if [ \"$1\" = -productVersion ]; then\n    printf '%s\\n' " + quoted +
                             "\nelse\n    printf 'ProductName:\\tVivozi Test\\nProductVersion:"
                             "\\t%s\\nBuildVersion:\\t0T0\\n' " +
                             quoted + "\nfi\n");
    paths_.edit().swVers = swVers_;
    paths_.edit().userDefaults = defaults_;
    paths_.apply();
}

} // namespace vztest
