#include "tools/ToolRunner.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Tools.h>

PlistValue tmutil(std::optional<std::vector<std::string>> arguments) {
    return vz::plistFromToolOutput(vz::runToolReadingOutput(
        kx::systemPaths().tmutil, arguments.value_or(std::vector<std::string>{})));
}

// PlistValue copies share nothing, so a copy is already deep and changeable throughout.
PlistValue KXDeepMutableCopyPropertyListObject(const PlistValue& value) {
    return value;
}
