#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Version.h>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <vector>

namespace {

// A fake sw_vers printing version.out for -productVersion and dictionary.out otherwise, adding
// one line per run to runs; the cache lives in a fresh defaults file.
class SystemVersionTest : public ::testing::Test {
protected:
    SystemVersionTest() {
        vztest::writeScript(dir_.file("sw_vers"), "cd '" + dir_.path() + R"('; echo run >> runs
[ "$1" = -productVersion ] && exec /bin/cat version.out; exec /bin/cat dictionary.out
)");
        vztest::writeFile(dir_.file("version.out"), "10.15.7\n");
        paths_.edit().swVers = dir_.file("sw_vers");
        paths_.edit().userDefaults = dir_.file("prefs/defaults.plist");
        paths_.apply();
        kx::setLogObserver([this](std::string_view line) { logged_.emplace_back(line); });
    }
    ~SystemVersionTest() override { kx::setLogObserver(nullptr); }

    std::size_t runCount() const {
        return vztest::lines(vztest::readFile(dir_.file("runs"))).size();
    }

    vztest::TempDir dir_;
    vztest::ScopedSystemPaths paths_;
    kx::UserDefaults& defaults_ = kx::UserDefaults::standard();
    std::vector<std::string> logged_;
};

TEST_F(SystemVersionTest, ComparesTheCachedVersionWithTheTrimmedArgument) {
    const struct {
        std::string running;
        std::optional<std::string> given;
        std::int64_t expected;
    } cases[] = {
        {"10.10", "10.9", 1},                                       // digit runs compare by value
        {"10.14", "10.14.6", -1},                                   // an initial part orders first
        {"10.01", "10.1", 0},                                       // leading zeros do not count
        {"100000000000000000000000", "99999999999999999999999", 1}, // no overflow
        {"10.13", "macOS 10.13", 0},
        {"10.13", "10.13-beta", -1}, // trimmed to "10.13-": the hyphen stays
        {"10.13", "\t10.13\u00A0", 0},
        {"10.13", "macOS Sonoma", 1}, // trims to ""
        {"10.13", std::nullopt, 0},
        {" 10.13", "10.13", -1}, // the running version is never trimmed
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(defaults_.setValueForKey("KXCurrentSWVers", c.running));
        EXPECT_EQ(KXCompareCurrentSystemVersionWith(c.given), c.expected) << c.running;
    }
    EXPECT_EQ(runCount(), 0u); // a cached version never runs the tool
}

TEST_F(SystemVersionTest, TheToolRunsOnceAndTheCacheFollowsOutsideChanges) {
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.15"), 1);
    EXPECT_EQ(runCount(), 1u);
    EXPECT_EQ(kx::UserDefaults().stringForKey("KXCurrentSWVers"), "10.15.7");

    const std::string head = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>";
    vztest::writeFile(dir_.file("prefs/defaults.plist"),
                      head + "<key>KXCurrentSWVers</key><string>10.9</string></dict></plist>");
    EXPECT_EQ(KXGetCurrentSystemString(), "10.9");
    vztest::writeFile(dir_.file("prefs/defaults.plist"), head + "</dict></plist>");
    vztest::writeFile(dir_.file("version.out"), "11.2\n");
    EXPECT_EQ(KXGetCurrentSystemString(), "11.2");
    EXPECT_EQ(runCount(), 2u);
}

TEST_F(SystemVersionTest, NonAsciiOutputIsNotCached) {
    vztest::writeFile(dir_.file("version.out"), "10.15\xC2\xA0\n");
    EXPECT_EQ(KXGetCurrentSystemString(), std::nullopt);
    EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.12"), 0);
    EXPECT_TRUE(defaults_.objectForKey("KXCurrentSWVers").isAbsent());
    EXPECT_EQ(runCount(), 2u); // every call asks the tool again
}

TEST_F(SystemVersionTest, DictionaryTakesOneEntryPerLineWithAColonAndIsLoggedOnce) {
    vztest::writeFile(dir_.file("dictionary.out"),
                      "ProductName:\tmacOS\n"
                      "ProductVersion :\t 10.15.7 \r\n" // the space before the colon stays
                      "BuildVersion:\t19H2:extra\n"     // only the text up to a second colon
                      "No colon on this line\n\n"
                      ":\tunnamed\n"
                      "ProductName:\tMac OS X\n"); // a later line replaces an earlier one
    PlistValue expected = PlistValue::dictionary();
    expected.setValueForKey("ProductName", "Mac OS X");
    expected.setValueForKey("ProductVersion ", "10.15.7");
    expected.setValueForKey("BuildVersion", "19H2");
    expected.setValueForKey("", "unnamed");

    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(KXGetCurrentSystemDictionary(), expected);
    EXPECT_EQ(runCount(), 1u);
    EXPECT_EQ(logged_, std::vector<std::string>{expected.description()});
    EXPECT_EQ(kx::UserDefaults().dictionaryForKey("KXCurrentSWVersDict"), expected);
}

TEST(SwVersStandIn, ReadsOsReleaseAndRejectsOtherArguments) {
    struct utsname system {};
    uname(&system);
    const std::string kernel = system.release;
    const struct {
        const char* osRelease; // nullptr: no such file
        std::string name, version;
    } cases[] = {
        {"# comment\n\nNAME='Alpine Linux'\n  VERSION_ID=3.18.4\n", "Alpine Linux", "3.18.4"},
        {"NAME=\"A \\\"quoted\\\" \\$name\"\nVERSION=\"12 (x)\"\n", "A \"quoted\" $name", kernel},
        {nullptr, "Linux", kernel},
    };
    vztest::TempDir dir;
    const std::string file = dir.file("os-release");
    const auto runStandIn = [&](const std::string& arguments) {
        const int status = std::system(("VZ_SW_VERS_OS_RELEASE='" + file +
                                        "' '" VZ_LIBEXEC_BUILD_DIR "/sw_vers' " + arguments +
                                        " >'" + dir.file("out") + "' 2>/dev/null")
                                           .c_str());
        return std::pair{WEXITSTATUS(status), vztest::readFile(dir.file("out"))};
    };
    for (const auto& c : cases) {
        std::remove(file.c_str());
        if (c.osRelease)
            vztest::writeFile(file, c.osRelease);
        EXPECT_EQ(runStandIn(""),
                  std::pair(0, "ProductName:\t" + c.name + "\nProductVersion:\t" + c.version +
                                   "\nBuildVersion:\t" + kernel + "\n"));
        EXPECT_EQ(runStandIn("-productVersion").second, c.version + "\n");
    }
    EXPECT_EQ(runStandIn("-help"), std::pair(1, std::string()));
}

} // namespace
