#include <VivoziZevidodirid/PlistValue.h>
#include <VivoziZevidodirid/SystemPaths.h>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

const std::string kStandIn = std::string(VZ_LIBEXEC_BUILD_DIR) + "/diskutil";

// The stand-in's standard output and error together, and its exit status.
std::pair<std::string, int> runStandIn(const std::string& arguments) {
    FILE* pipe = popen((kStandIn + " " + arguments + " 2>&1").c_str(), "r");
    if (!pipe)
        return {"", -1};
    std::string output;
    char buffer[4096];
    while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe))
        output.append(buffer, got);
    const int status = pclose(pipe);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(DiskutilStandIn, AnswersTheApfsListingAloneAndIsTheDefault) {
    const auto [listing, status] = runStandIn("apfs list -plist");
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(PlistValue::parse(listing)["Containers"].isArray()) << listing;
    for (const char* arguments : {"", "list", "apfs list", "apfs list -plist extra", "info /"}) {
        const auto [usage, exitStatus] = runStandIn(arguments);
        EXPECT_EQ(exitStatus, 1) << arguments;
        EXPECT_EQ(usage, "usage: diskutil apfs list -plist\n") << arguments;
    }
    EXPECT_EQ(kx::defaultSystemPaths().diskutil, kStandIn);
}

} // namespace
