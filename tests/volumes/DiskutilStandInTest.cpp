#include "support/SystemVersion.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Task.h>
#include <VivoziZevidodirid/Volumes.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const std::string kStandIn = std::string(VZ_LIBEXEC_BUILD_DIR) + "/diskutil";

struct StandInRun {
    std::string output;
    std::string errors;
    int status = -1;
};

std::string readAll(int fd) {
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    return bytes;
}

StandInRun runStandIn(std::vector<std::string> arguments) {
    kx::Task task;
    task.setLaunchPath(kStandIn);
    task.setArguments(std::move(arguments));
    task.setEnvironment(std::vector<std::string>{});
    task.setStandardOutput(kx::Stdio::pipe());
    task.setStandardError(kx::Stdio::pipe());
    StandInRun run;
    if (task.launch())
        return run;
    const int out = task.takeStandardOutput();
    const int err = task.takeStandardError();
    run.output = readAll(out); // small enough that the error pipe cannot fill meanwhile
    run.errors = readAll(err);
    task.waitUntilExit();
    run.status = task.terminationStatus();
    return run;
}

TEST(DiskutilStandIn, ListsTheContainersAsAPropertyList) {
    const StandInRun run = runStandIn({"apfs", "list", "-plist"});
    EXPECT_EQ(run.status, 0);
    const PlistValue listing = PlistValue::parse(run.output);
    ASSERT_TRUE(listing["Containers"].isArray()) << run.output;
    // This machine's own table: whatever APFS it mounts, and nothing when it mounts none.
    bool apfsMounted = false;
    for (const char* type : {" apfs ", " fuse.apfs"})
        apfsMounted =
            apfsMounted || vztest::readFile("/proc/self/mounts").find(type) != std::string::npos;
    EXPECT_EQ(listing["Containers"].count() > 0, apfsMounted);
}

TEST(DiskutilStandIn, OtherVerbsPrintUsage) {
    const std::vector<std::vector<std::string>> commands = {
        {}, {"list"}, {"apfs", "list"}, {"apfs", "list", "-plist", "extra"}, {"info", "/"}};
    for (const auto& arguments : commands) {
        const StandInRun run = runStandIn(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.output.empty());
        EXPECT_TRUE(run.errors.starts_with("usage: diskutil")) << run.errors;
    }
}

TEST(DiskutilStandIn, TheQueriesReadItsOutput) {
    // The default table points at the stand-in; Linux here has no APFS, so nothing is found.
    vztest::ScopedSystemPaths paths(kx::defaultSystemPaths());
    vztest::ScopedSystemVersion version("13.5");
    ASSERT_EQ(kx::systemPaths().diskutil, kStandIn);
    EXPECT_TRUE(getAPFSContainer("disk1").isAbsent());
    EXPECT_EQ(getAPFSVolumeRole("disk1s1"), APFSVolumeRoleNone);
}

} // namespace
