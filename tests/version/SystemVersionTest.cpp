#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Version.h>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A fake sw_vers printing version.out for -productVersion and dictionary.out otherwise, adding
// one line per run to runs; the cache lives in a fresh defaults file.
class SystemVersionTest : public ::testing::Test {
protected:
    SystemVersionTest() {
        vztest::writeScript(dir_.file("sw_vers"),
                            "printf 'run %s\\n' \"$*\" >> " + dir_.file("runs") +
                                "\n[ \"$1\" = -productVersion ] && exec /bin/cat " +
                                dir_.file("version.out") + "\nexec /bin/cat " +
                                dir_.file("dictionary.out") + "\n");
        printVersion("10.15.7\n");
        printDictionary("ProductName:\tmacOS\nProductVersion:\t10.15.7\nBuildVersion:\t19H2\n");
        paths_.edit().swVers = dir_.file("sw_vers");
        paths_.edit().userDefaults = dir_.file("prefs/defaults.plist");
        paths_.apply();
        kx::setLogObserver([this](std::string_view line) {
            std::lock_guard lock(logMutex_);
            logged_.emplace_back(line);
        });
    }
    ~SystemVersionTest() override { kx::setLogObserver(nullptr); }

    void printVersion(std::string_view text) { vztest::writeFile(dir_.file("version.out"), text); }
    void printDictionary(std::string_view text) {
        vztest::writeFile(dir_.file("dictionary.out"), text);
    }
    std::string runs() const { return vztest::readFile(dir_.file("runs")); }
    std::size_t runCount() const { return vztest::lines(runs()).size(); }

    vztest::TempDir dir_;
    vztest::ScopedSystemPaths paths_;
    kx::UserDefaults& defaults_ = kx::UserDefaults::standard();
    std::mutex logMutex_;
    std::vector<std::string> logged_;
};

TEST_F(SystemVersionTest, ComparesTheCachedVersionWithTheTrimmedArgument) {
    const struct {
        std::string running;
        std::optional<std::string> given;
        std::int64_t expected;
    } cases[] = {
        {"10.10", "10.9", 1},
        {"10.14", "10.14.6", -1},
        {"10.13", "macOS 10.13", 0},
        {"10.13", "10.13-beta", -1}, // trimmed to "10.13-": the hyphen stays
        {"10.13", "10.13\n", -1},    // and so does a line break
        {"10.13", "\t10.13\u00A0", 0},
        {"10.13", "\u0301v10.13e\u0301", 0}, // letters and marks at both ends
        {"10.13", "macOS Sonoma", 1},        // trims to ""
        {"10.13", "", 0},
        {"10.13", std::nullopt, 0},
        {"", "10.12", -1},
        {" 10.13", "10.13", -1}, // the running version is never trimmed
    };
    printVersion("99.0\n");
    for (const auto& c : cases) {
        SCOPED_TRACE("running \"" + c.running + "\" given \"" + c.given.value_or("(absent)") +
                     "\"");
        ASSERT_TRUE(defaults_.setValueForKey("KXCurrentSWVers", c.running));
        EXPECT_EQ(KXCompareCurrentSystemVersionWith(c.given), c.expected);
    }
    EXPECT_EQ(runs(), "") << "a cached version never runs the tool";
}

TEST_F(SystemVersionTest, TheVersionIsTheUntrimmedFirstLine) {
    const std::pair<std::string, std::string> cases[] = {
        {" 10.15.7 \nsecond\n", " 10.15.7 "},
        {"10.15.7", "10.15.7"},
        {"10.15.7\r\n", "10.15.7\r"},
        {"", ""},
        {"\n", ""},
    };
    for (const auto& [output, expected] : cases) {
        SCOPED_TRACE(output);
        ASSERT_TRUE(defaults_.removeObjectForKey("KXCurrentSWVers"));
        printVersion(output);
        EXPECT_EQ(KXGetCurrentSystemString(), expected);
        EXPECT_EQ(KXGetCurrentSystemString(), expected);
        EXPECT_EQ(kx::UserDefaults().stringForKey("KXCurrentSWVers"), expected);
    }
    EXPECT_EQ(runCount(), std::size(cases)) << "once each, the empty text included";
    EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.12"), -1) << "cached \"\" is compared";
}

TEST_F(SystemVersionTest, TheToolRunsOnceAndTheCacheFollowsOutsideChanges) {
    EXPECT_EQ(KXCompareCurrentSystemVersionWith(std::nullopt), 0);
    EXPECT_EQ(runs(), "run -productVersion\n") << "an absent argument still fills the cache";
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.15"), 1);
    EXPECT_EQ(runCount(), 1u);

    const std::string head = "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>";
    vztest::writeFile(dir_.file("prefs/defaults.plist"),
                      head + "<key>KXCurrentSWVers</key><string>10.9</string></dict></plist>");
    EXPECT_EQ(KXGetCurrentSystemString(), "10.9");
    EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.15"), -1);

    vztest::writeFile(dir_.file("prefs/defaults.plist"), head + "</dict></plist>");
    printVersion("11.2\n");
    EXPECT_EQ(KXGetCurrentSystemString(), "11.2");
    EXPECT_EQ(runCount(), 2u);
}

TEST_F(SystemVersionTest, DictionaryTakesOneEntryPerLineWithAColonAndIsLoggedOnce) {
    printDictionary("ProductName:\tmacOS\n"
                    "ProductVersion :\t 10.15.7 \r\n" // the space before the colon stays
                    "BuildVersion:\t19H2:extra\n"     // only the text up to a second colon
                    "No colon on this line\n\n"
                    ":\tunnamed\n"
                    "ProductName:\tMac OS X\n" // a later line replaces an earlier one
                    "Trailing:\v\f\n");
    PlistValue expected = PlistValue::dictionary();
    expected.setValueForKey("ProductName", "Mac OS X");
    expected.setValueForKey("ProductVersion ", "10.15.7");
    expected.setValueForKey("BuildVersion", "19H2");
    expected.setValueForKey("", "unnamed");
    expected.setValueForKey("Trailing", "");

    EXPECT_EQ(KXGetCurrentSystemDictionary(), expected);
    EXPECT_EQ(KXGetCurrentSystemDictionary(), expected);
    EXPECT_EQ(runs(), "run \n") << "once, with no arguments";
    EXPECT_EQ(logged_, std::vector<std::string>{expected.description()});
    EXPECT_EQ(kx::UserDefaults().dictionaryForKey("KXCurrentSWVersDict"), expected);
    EXPECT_TRUE(defaults_.objectForKey("KXCurrentSWVers").isAbsent()) << "filled on its own";
}

TEST_F(SystemVersionTest, NonAsciiOutputIsNotCachedButAnEmptyDictionaryIs) {
    printVersion("10.15\xC2\xA0\n");
    EXPECT_EQ(KXGetCurrentSystemString(), std::nullopt);
    EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.12"), 0);
    EXPECT_TRUE(defaults_.objectForKey("KXCurrentSWVers").isAbsent());
    EXPECT_EQ(runCount(), 2u) << "every call asks the tool again";

    for (const std::string output : {"", "ProductName:\tma\xC3\xA7OS\n"}) {
        ASSERT_TRUE(defaults_.removeObjectForKey("KXCurrentSWVersDict"));
        printDictionary(output);
        const std::size_t before = runCount();
        EXPECT_EQ(KXGetCurrentSystemDictionary(), PlistValue::dictionary()) << output;
        EXPECT_EQ(KXGetCurrentSystemDictionary(), PlistValue::dictionary()) << output;
        EXPECT_EQ(runCount(), before + 1) << output;
    }
}

} // namespace
