#include "support/SystemVersion.h"

#include <utility>

namespace vztest {
namespace {

// The text as one single-quoted shell word.
std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

} // namespace

ScopedSystemVersion::ScopedSystemVersion(std::string version)
    : version_(std::move(version)), swVers_(dir_.file("sw_vers")),
      defaults_(dir_.file("defaults/defaults.plist")) {
    // The tool runs with an empty environment: nothing but shell builtins here.
    const std::string v = shellQuoted(version_);
    std::string body = "if [ \"$1\" = -productVersion ]; then\n";
    body += "    printf '%s\\n' " + v + "\n";
    body += "else\n";
    body += "    printf 'ProductName:\\tVivozi Test\\nProductVersion:\\t%s\\n";
    body += "BuildVersion:\\t0T0\\n' " + v + "\n";
    body += "fi\n";
    writeScript(swVers_, body);
    kx::SystemPaths& table = paths_.edit();
    table.swVers = swVers_;
    table.userDefaults = defaults_;
    paths_.apply();
}

} // namespace vztest
