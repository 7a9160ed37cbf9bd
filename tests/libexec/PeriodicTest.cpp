#include "support/TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

// The stand-in, looking for its sets under a test folder instead of /etc.
TEST(PeriodicStandIn, RunsASetInNameOrderAndReportsFailure) {
    vztest::TempDir root;
    // Each script logs its name, the mask it runs under and what its standard input is.
    for (const std::string path : {"daily/b", "daily/a", "daily/10-x", "daily/C", "daily/e.sh",
                                   "weekly/a", "weekly/b", "locked/a"}) {
        std::filesystem::create_directories(root.file("cron." + path.substr(0, path.find('/'))));
        vztest::writeScript(root.file("cron." + path),
                            "echo ${0##*/} $(umask) $(readlink /proc/self/fd/0) >> '" +
                                root.file("log") + "'\n" + (path == "weekly/a" ? "exit 3\n" : ""));
    }
    // Another user's set that we may pass through but not list; root stays root (so that the
    // stand-in in the build tree stays reachable) but without the capabilities that skip the check.
    ASSERT_EQ(chown(root.file("cron.locked").c_str(), 65534, 65534), 0);
    chmod(root.file("cron.locked").c_str(), 0711);
    const auto run = [&](const std::string& set, const std::string& as = "") {
        std::filesystem::remove(root.file("log"));
        const int status =
            std::system(("umask 000; true | " + as + " env -i VIVOZI_PERIODIC_ROOT='" +
                         root.path() + "' VIVOZI_JOURNAL='" + root.file("state/journal.sqlite") +
                         "' '" VZ_LIBEXEC_BUILD_DIR "/periodic' " + set + " 2>/dev/null")
                            .c_str());
        return std::pair{WEXITSTATUS(status), vztest::readFile(root.file("log"))};
    };
    // Dotted names skipped; scripts get umask 022 and the null device, whatever the caller had.
    EXPECT_EQ(run("daily"), std::pair(0, std::string("10-x 0022 /dev/null\nC 0022 /dev/null\n"
                                                     "a 0022 /dev/null\nb 0022 /dev/null\n")));
    // Recorded in the test's own journal, never in the account's.
    EXPECT_TRUE(vztest::fileExists(root.file("state/journal.sqlite")));
    // A failing script fails the set after every script ran.
    EXPECT_EQ(run("weekly").first, 1);
    EXPECT_EQ(vztest::lines(vztest::readFile(root.file("log"))).size(), 2u);
    EXPECT_NE(run("nosuch").first, 0);
    // A set folder that cannot be listed is a failed set, not an empty one.
    EXPECT_EQ(run("locked", "setpriv --bounding-set=-dac_override,-dac_read_search "
                            "--inh-caps=-dac_override,-dac_read_search"),
              std::pair(1, std::string()));
}

} // namespace
