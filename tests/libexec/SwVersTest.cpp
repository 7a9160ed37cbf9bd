#include "support/TestSupport.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <utility>

namespace {

// The stand-in reads the system's own files: each case is bind-mounted over them in a private
// mount namespace of the child alone, which nothing else sees.
TEST(SwVersStandIn, PrintsEachFieldAsPlainAsciiText) {
    if (std::system("unshare -rm true 2>/dev/null") != 0)
        GTEST_SKIP() << "no private mount namespace: user namespaces are not allowed here";
    struct utsname system {};
    uname(&system);
    const std::string kernel = system.release;
    // In order: comments, blank lines, single quotes and indentation; escapes in quotes, and
    // VERSION is not VERSION_ID; an empty file; one that never ends (nullptr: a FIFO no one
    // writes); debian_version refines the release, unless it is no number or "1" begins "12.11";
    // a colon would forge a field, a tab is blank; accents in both files; control characters and
    // a terminal escape; no Latin letters, an emoji and a byte that is not UTF-8.
    const struct {
        const char *osRelease, *debianVersion;
        std::string name, version;
    } cases[] = {
        {"# comment\n\nNAME='Alpine Linux'\n  VERSION_ID=3.18.4\n", "", "Alpine Linux", "3.18.4"},
        {"NAME=\"A \\\"q\\\" \\$n\"\nVERSION=\"12 (x)\"\n", "", "A \"q\" $n", kernel},
        {"", "", "Linux", kernel},
        {nullptr, "", "Linux", kernel},
        {"NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n", "12.11\n", "Debian GNU/Linux", "12.11"},
        {"VERSION_ID=12\n", "bookworm/sid\n", "Linux", "12"},
        {"VERSION_ID=1\n", "12.11\n", "Linux", "1"},
        {"NAME=\"Bar: evil\"\nVERSION_ID=\"12\t\"\n", "", "Bar; evil", "12"},
        {"NAME=\"D\303\251bian\"\nVERSION_ID=12\n", "12.1\303\251\n", "Debian", "12.1e"},
        {"NAME=\"Deb\rian\x1B[2J\"\r\nVERSION_ID=\" \00112 \"\n", "", "Debian[2J", "12"},
        {"NAME=\"\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x90\xA7 \xFF\"\n", "", "zhong wen ? ?", kernel}};
    vztest::TempDir dir;
    const auto runStandIn = [&](const std::string& arguments) {
        const std::string script =
            "for f in /etc/os-release /usr/lib/os-release; do mount --bind \"$1\" $f || exit 90; "
            "done; mount --bind \"$2\" /etc/debian_version || exit 90; exec timeout 10 \"$3\" $4";
        const int status = std::system(
            ("unshare -rm sh -c '" + script + "' sh '" + dir.file("os-release") + "' '" +
             dir.file("debian_version") + "' '" VZ_LIBEXEC_BUILD_DIR "/sw_vers' '" + arguments +
             "' >'" + dir.file("out") + "' 2>/dev/null")
                .c_str());
        return std::pair{WEXITSTATUS(status), vztest::readFile(dir.file("out"))};
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.osRelease ? c.osRelease : "(a FIFO)");
        std::remove(dir.file("os-release").c_str());
        if (c.osRelease)
            vztest::writeFile(dir.file("os-release"), c.osRelease);
        else
            ASSERT_EQ(mkfifo(dir.file("os-release").c_str(), 0600), 0);
        vztest::writeFile(dir.file("debian_version"), c.debianVersion);
        const auto [status, out] = runStandIn("");
        if (status == 90)
            GTEST_SKIP() << "cannot bind-mount over this system's os-release and debian_version";
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out, "ProductName:\t" + c.name + "\nProductVersion:\t" + c.version +
                           "\nBuildVersion:\t" + kernel + "\n");
        EXPECT_EQ(runStandIn("-productVersion").second, c.version + "\n");
    }
    EXPECT_EQ(runStandIn("-help"), std::pair(1, std::string()));
}

} // namespace
