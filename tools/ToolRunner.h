#pragma once

#include "platform/process/Bytes.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vz {

// The bytes a tool wrote to its standard output, first byte to end of file. Reads like a
// std::string_view (data, size, empty, view(), comparison with text). Output longer than
// kToolOutputLimit is unreadable: it holds no bytes, and neither reading below gives a value.
class ToolOutput : public kx::Bytes {
public:
    ToolOutput() = default;
    ToolOutput(kx::Bytes bytes) : kx::Bytes(std::move(bytes)) {}
    explicit ToolOutput(std::string_view bytes) : kx::Bytes(bytes) {}
    static ToolOutput unreadable() {
        ToolOutput output;
        output.unreadable_ = true;
        return output;
    }
    bool isUnreadable() const { return unreadable_; }

private:
    bool unreadable_ = false;
};

// Far above anything diskutil, sw_vers or tmutil prints. Past it the tool and its process group
// are terminated rather than read to an end that may never come.
constexpr std::size_t kToolOutputLimit = std::size_t{256} << 20;

// Starts the tool at an absolute path with an empty environment, standard input and error
// inherited, as the leader of a process group of its own, and reads its standard output to end
// of file. No argument list (nullopt) and an empty one both run the tool with no arguments. A
// tool that cannot be started yields no bytes. The finished child is reaped; nothing depends on
// its exit status.
ToolOutput runToolReadingOutput(const std::string& launchPath,
                                const std::optional<std::vector<std::string>>& arguments);

namespace testing {
// Replaces the cap on a tool's output (0: the default again), so a test need not print 256 MiB.
void setToolOutputLimit(std::size_t bytes);
} // namespace testing

// The parsed property list; absent when the bytes are empty, unreadable or not a property list.
PlistValue plistFromToolOutput(const ToolOutput& output);

// The bytes as ASCII text; "" for no bytes, nullopt when unreadable or any byte is above 127.
std::optional<std::string> textFromToolOutput(const ToolOutput& output);

} // namespace vz
