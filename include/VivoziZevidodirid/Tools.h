#pragma once

#include <VivoziZevidodirid/Export.h>
#include <VivoziZevidodirid/PlistValue.h>
#include <optional>
#include <string>
#include <vector>

// Runs the Time Machine tool with the arguments unchanged and returns its parsed property list
// (root of any kind), or an absent value when it prints nothing parseable or cannot be started.
// An absent list runs the tool with no arguments. Waits for the tool to close its output, so a
// tool that never does blocks the calling thread.
VZ_EXPORT PlistValue tmutil(std::optional<std::vector<std::string>> arguments);

// A fully independent, changeable copy of a property list; absent for an absent value.
VZ_EXPORT PlistValue KXDeepMutableCopyPropertyListObject(const PlistValue& value);
