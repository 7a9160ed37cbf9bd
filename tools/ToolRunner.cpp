#include "tools/ToolRunner.h"

#include <VivoziZevidodirid/Task.h>
#include <atomic>

namespace vz {

namespace {
std::atomic<std::size_t> limitForTests{0};
} // namespace

namespace testing {
void setToolOutputLimit(std::size_t bytes) {
    limitForTests.store(bytes);
}
} // namespace testing

ToolOutput runToolReadingOutput(const std::string& launchPath,
                                const std::optional<std::vector<std::string>>& arguments) {
    kx::Task task;
    task.setLaunchPath(launchPath);
    if (arguments)
        task.setArguments(*arguments);
    task.setEnvironment(std::vector<std::string>{});
    task.setStandardOutput(kx::Stdio::pipe());
    // So that a tool cut off at the limit can be stopped together with whatever it started.
    task.setProcessGroupLeader(true);
    if (task.launch())
        return {};
    // The write end lives only in the child (and whatever it starts), so end of file comes when
    // they are done with it.
    kx::FileDescriptor output = task.takeStandardOutput();
    const std::size_t forTests = limitForTests.load();
    bool complete = false;
    ToolOutput bytes =
        kx::readToEnd(output.get(), forTests ? forTests : kToolOutputLimit, complete);
    if (!complete) {
        // Before our end closes, so that the group is gone rather than left to fail its writes.
        task.terminate();
        bytes = ToolOutput::unreadable();
    }
    output.reset();
    // Normally already exited by now; reaped so that no zombie stays behind. A tool that closed
    // its output early is waited for here.
    task.waitUntilExit();
    return bytes;
}

PlistValue plistFromToolOutput(const ToolOutput& output) {
    if (output.empty() || output.isUnreadable())
        return {};
    return PlistValue::parse(output.view());
}

std::optional<std::string> textFromToolOutput(const ToolOutput& output) {
    if (output.isUnreadable())
        return std::nullopt;
    unsigned char seen = 0;
    for (const char byte : output)
        seen |= static_cast<unsigned char>(byte);
    if (seen & 0x80)
        return std::nullopt;
    return output.str();
}

} // namespace vz
