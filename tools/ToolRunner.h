#pragma once

#include "platform/process/Bytes.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <optional>
#include <string>
#include <vector>

namespace vz {

// The bytes a tool wrote to its standard output, first byte to end of file. Reads like a
// std::string_view (data, size, empty, view(), comparison with text).
using ToolOutput = kx::Bytes;

// Starts the tool at an absolute path with an empty environment, standard input and error
// inherited, and reads its standard output to end of file. No argument list (nullopt) and an
// empty one both run the tool with no arguments. A tool that cannot be started yields no bytes.
// The finished child is reaped; nothing depends on its exit status.
ToolOutput runToolReadingOutput(const std::string& launchPath,
                                const std::optional<std::vector<std::string>>& arguments);

// The parsed property list; absent when the bytes are empty or not a property list.
PlistValue plistFromToolOutput(const ToolOutput& output);

// The bytes as ASCII text; "" for no bytes, nullopt when any byte is above 127.
std::optional<std::string> textFromToolOutput(const ToolOutput& output);

} // namespace vz
