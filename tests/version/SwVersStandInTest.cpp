#include "support/TestSupport.h"

#include <VivoziZevidodirid/Version.h>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <sys/utsname.h>
#include <sys/wait.h>

namespace {

const std::string kStandIn = VZ_LIBEXEC_BUILD_DIR "/sw_vers";

struct Outcome {
    std::string output;
    int status = -1;
};

// Runs the stand-in with the os-release file given (the real ones when osRelease is empty).
Outcome runStandIn(const std::string& osRelease, const std::string& arguments) {
    const std::string command =
        (osRelease.empty() ? "" : "VZ_SW_VERS_OS_RELEASE='" + osRelease + "' ") + "'" + kStandIn +
        "' " + arguments + " 2>/dev/null";
    Outcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return outcome;
    char buffer[512];
    for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        outcome.output.append(buffer, got);
    const int status = pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

TEST(SwVersStandIn, ReadsOsReleaseAndRejectsOtherArguments) {
    struct utsname system {};
    ASSERT_EQ(uname(&system), 0);
    const std::string kernel = system.release;
    const struct {
        const char* what;
        const char* osRelease; // nullptr: no such file
        std::string name;
        std::string version;
    } cases[] = {
        {"plain", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\n",
         "Debian GNU/Linux", "12"},
        {"bare and single-quoted values, comments, blank lines",
         "# comment\n\nNAME='Alpine Linux'\n  VERSION_ID=3.18.4\n", "Alpine Linux", "3.18.4"},
        {"escapes inside double quotes", "NAME=\"A \\\"quoted\\\" \\$name\"\nVERSION_ID=1\n",
         "A \"quoted\" $name", "1"},
        {"no version: the kernel release", "NAME=Arch\n", "Arch", kernel},
        {"no name: Linux", "VERSION_ID=7\n", "Linux", "7"},
        {"no file", nullptr, "Linux", kernel},
    };
    vztest::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = dir.file("os-release");
        std::remove(file.c_str());
        if (c.osRelease)
            vztest::writeFile(file, c.osRelease);

        const Outcome all = runStandIn(file, "");
        EXPECT_EQ(all.status, 0);
        EXPECT_EQ(all.output, "ProductName:\t" + c.name + "\nProductVersion:\t" + c.version +
                                  "\nBuildVersion:\t" + kernel + "\n");
        EXPECT_EQ(runStandIn(file, "-productVersion").output, c.version + "\n");
    }
    for (const char* arguments : {"-help", "-productVersion extra"}) {
        const Outcome outcome = runStandIn("", arguments);
        EXPECT_EQ(outcome.status, 1) << arguments;
        EXPECT_EQ(outcome.output, "") << arguments;
    }
}

// The library's own table points at the stand-in, which reads this machine's os-release.
TEST(SwVersStandIn, IsWhatTheLibraryAsksByDefault) {
    vztest::TempDir dir;
    vztest::ScopedSystemPaths paths(kx::defaultSystemPaths());
    paths.edit().userDefaults = dir.file("defaults.plist");
    paths.apply();
    const std::string printed = runStandIn("", "-productVersion").output;
    ASSERT_FALSE(printed.empty());
    EXPECT_EQ(KXGetCurrentSystemString(), printed.substr(0, printed.find('\n')));
}

} // namespace
