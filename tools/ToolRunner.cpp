#include "tools/ToolRunner.h"

#include <VivoziZevidodirid/Task.h>

namespace vz {

ToolOutput runToolReadingOutput(const std::string& launchPath,
                                const std::optional<std::vector<std::string>>& arguments) {
    kx::Task task;
    task.setLaunchPath(launchPath);
    if (arguments)
        task.setArguments(*arguments);
    task.setEnvironment(std::vector<std::string>{});
    task.setStandardOutput(kx::Stdio::pipe());
    if (task.launch())
        return {};
    // The write end lives only in the child (and whatever it starts), so end of file comes when
    // they are done with it.
    kx::UniqueFd output(task.takeStandardOutput());
    ToolOutput bytes = kx::readToEnd(output.get());
    output.reset();
    // Normally already exited by now; reaped so that no zombie stays behind. A tool that closed
    // its output early is waited for here.
    task.waitUntilExit();
    return bytes;
}

PlistValue plistFromToolOutput(const ToolOutput& output) {
    if (output.empty())
        return {};
    return PlistValue::parse(output.view());
}

std::optional<std::string> textFromToolOutput(const ToolOutput& output) {
    unsigned char seen = 0;
    for (const char byte : output)
        seen |= static_cast<unsigned char>(byte);
    if (seen & 0x80)
        return std::nullopt;
    return output.str();
}

} // namespace vz
