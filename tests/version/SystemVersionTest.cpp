#include "support/SystemVersion.h"

#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Version.h>
#include <algorithm>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

// A fake sw_vers that prints version.out for -productVersion and dictionary.out otherwise, and
// appends one line per run to runs. The cache lives in a fresh defaults file.
class SystemVersionTest : public ::testing::Test {
protected:
    SystemVersionTest() {
        vztest::writeScript(dir_.file("sw_vers"),
                            "printf '%s\\n' \"$*\" >> '" + dir_.file("runs") +
                                "'\n"
                                "if [ \"$1\" = -productVersion ]; then exec /bin/cat '" +
                                dir_.file("version.out") + "'; fi\nexec /bin/cat '" +
                                dir_.file("dictionary.out") + "'\n");
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

    void printVersion(std::string_view output) {
        vztest::writeFile(dir_.file("version.out"), output);
    }
    void printDictionary(std::string_view output) {
        vztest::writeFile(dir_.file("dictionary.out"), output);
    }
    // The argument lists the tool was run with, one per run.
    std::vector<std::string> runs() const {
        std::vector<std::string> lines;
        const std::string text = vztest::readFile(dir_.file("runs"));
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = text.find('\n', start);
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    }
    std::vector<std::string> logged() {
        std::lock_guard lock(logMutex_);
        return logged_;
    }
    // Rewrites the store file in place, as another program (or an editor) would.
    void writeStoreFromOutside(const std::string& entries) {
        vztest::writeFile(dir_.file("prefs/defaults.plist"),
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                          "<dict>\n" +
                              entries + "</dict>\n</plist>\n");
    }

    vztest::TempDir dir_;
    vztest::ScopedSystemPaths paths_;
    kx::UserDefaults& defaults_ = kx::UserDefaults::standard();
    std::mutex logMutex_;
    std::vector<std::string> logged_;
};

using Runs = std::vector<std::string>;

TEST_F(SystemVersionTest, ComparesTheCachedVersionWithTheTrimmedArgument) {
    const struct {
        std::string running;
        std::optional<std::string> given;
        std::int64_t expected;
    } cases[] = {
        {"10.10", "10.9", 1},
        {"10.14", "10.14", 0},
        {"10.14", "10.14.6", -1},
        {"10.13", "macOS 10.13", 0},
        {"10.13", "10.13-beta", -1},     // trimmed to "10.13-": the hyphen stays
        {"10.13", "10.13\n", -1},        // a line break at the end stays
        {"10.13", " \t10.13 \u00A0", 0}, // tabs and Unicode spaces go
        {"10.13", "macOS Sonoma", 1},    // trims to "", which orders first
        {"10.13", "", 0},                // the untrimmed empty argument is not compared
        {"10.13", std::nullopt, 0},
        {"", "10.12", -1}, // an empty cached version is still compared
        {"", "macOS", 0},
        {" 10.13", "10.13", -1}, // the running version is never trimmed
    };
    printVersion("99.0\n");
    for (const auto& c : cases) {
        SCOPED_TRACE("running \"" + c.running + "\" given " +
                     (c.given ? "\"" + *c.given + "\"" : std::string("(absent)")));
        ASSERT_TRUE(defaults_.setValueForKey("KXCurrentSWVers", c.running));
        EXPECT_EQ(KXCompareCurrentSystemVersionWith(c.given), c.expected);
    }
    EXPECT_EQ(runs(), Runs{}) << "a cached version never runs the tool";
}

TEST_F(SystemVersionTest, AnAbsentArgumentStillFillsAnEmptyCache) {
    EXPECT_EQ(KXCompareCurrentSystemVersionWith(std::nullopt), 0);
    EXPECT_EQ(runs(), Runs{"-productVersion"});
    EXPECT_EQ(defaults_.stringForKey("KXCurrentSWVers"), "10.15.7");
}

TEST_F(SystemVersionTest, TheVersionIsTheUntrimmedFirstLine) {
    const struct {
        std::string output;
        std::string expected;
    } cases[] = {
        {"10.15.7\n", "10.15.7"},
        {" 10.15.7 \nsecond line\n", " 10.15.7 "},
        {"10.15.7", "10.15.7"},
        {"10.15.7\r\n", "10.15.7\r"},
        {"", ""},
        {"\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("output \"" + c.output + "\"");
        ASSERT_TRUE(defaults_.removeObjectForKey("KXCurrentSWVers"));
        printVersion(c.output);
        EXPECT_EQ(KXGetCurrentSystemString(), c.expected);
        EXPECT_EQ(defaults_.stringForKey("KXCurrentSWVers"), c.expected);
    }
}

TEST_F(SystemVersionTest, TheToolRunsOnceAndTheCacheFollowsOutsideChanges) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(KXGetCurrentSystemString(), "10.15.7");
        EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.15"), 1);
    }
    EXPECT_EQ(runs(), Runs{"-productVersion"});

    writeStoreFromOutside("<key>KXCurrentSWVers</key><string>10.9</string>\n");
    EXPECT_EQ(KXGetCurrentSystemString(), "10.9");
    EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.15"), -1);

    writeStoreFromOutside("");
    printVersion("11.2\n");
    EXPECT_EQ(KXGetCurrentSystemString(), "11.2");
    EXPECT_EQ(runs(), (Runs{"-productVersion", "-productVersion"}));
}

TEST_F(SystemVersionTest, AnEmptyVersionIsCachedButNonAsciiIsNot) {
    printVersion("");
    EXPECT_EQ(KXGetCurrentSystemString(), "");
    EXPECT_EQ(KXGetCurrentSystemString(), "");
    EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.12"), -1);
    EXPECT_EQ(runs().size(), 1u);

    ASSERT_TRUE(defaults_.removeObjectForKey("KXCurrentSWVers"));
    printVersion("10.15\xC2\xA0\n");
    EXPECT_EQ(KXGetCurrentSystemString(), std::nullopt);
    EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.12"), 0);
    EXPECT_EQ(defaults_.objectForKey("KXCurrentSWVers"), PlistValue());
    EXPECT_EQ(runs().size(), 3u) << "every call asks the tool again";
}

TEST_F(SystemVersionTest, DictionaryTakesOneEntryPerLineWithAColon) {
    printDictionary("ProductName:\tmacOS\n"
                    "ProductVersion :\t 10.15.7 \r\n" // the space before the colon stays
                    "BuildVersion:\t19H2:extra\n"     // only the text up to a second colon
                    "No colon on this line\n"
                    "\n"
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
    EXPECT_EQ(runs(), Runs{""}) << "run with no arguments";
    EXPECT_EQ(defaults_.dictionaryForKey("KXCurrentSWVersDict"), expected);
    EXPECT_EQ(defaults_.objectForKey("KXCurrentSWVers"), PlistValue()) << "filled on its own";
}

TEST_F(SystemVersionTest, DictionaryIsLoggedOnceWhenBuiltAndThenCached) {
    const PlistValue first = KXGetCurrentSystemDictionary();
    EXPECT_EQ(first.count(), 3u);
    EXPECT_EQ(logged(), std::vector<std::string>{first.description()});

    printDictionary("ProductName:\tchanged\n");
    EXPECT_EQ(KXGetCurrentSystemDictionary(), first);
    EXPECT_EQ(logged().size(), 1u) << "not logged when it comes from the cache";
    EXPECT_EQ(runs().size(), 1u);
}

TEST_F(SystemVersionTest, EmptyOrNonAsciiOutputCachesAnEmptyDictionary) {
    for (const std::string output : {"", "ProductName:\tma\xC3\xA7OS\n"}) {
        SCOPED_TRACE(output);
        ASSERT_TRUE(defaults_.removeObjectForKey("KXCurrentSWVersDict"));
        printDictionary(output);
        const std::size_t before = runs().size();
        EXPECT_EQ(KXGetCurrentSystemDictionary(), PlistValue::dictionary());
        EXPECT_EQ(KXGetCurrentSystemDictionary(), PlistValue::dictionary());
        EXPECT_EQ(runs().size(), before + 1);
    }
}

TEST_F(SystemVersionTest, ThreadsFindingAnEmptyCacheAllAgree) {
    std::vector<std::thread> threads;
    std::vector<std::int64_t> results(4, 99);
    for (std::size_t t = 0; t < results.size(); ++t)
        threads.emplace_back([&results, t] {
            results[t] = KXCompareCurrentSystemVersionWith("10.15.7");
            (void)KXGetCurrentSystemDictionary();
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(results, std::vector<std::int64_t>(4, 0));
    EXPECT_EQ(defaults_.stringForKey("KXCurrentSWVers"), "10.15.7");
    EXPECT_EQ(defaults_.dictionaryForKey("KXCurrentSWVersDict").count(), 3u);
}

TEST(ScopedSystemVersion, ReportsItsVersionAndRestoresTheTable) {
    const kx::SystemPaths before = kx::systemPaths();
    {
        vztest::ScopedSystemVersion scope("10.14.6");
        EXPECT_EQ(KXGetCurrentSystemString(), "10.14.6");
        EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.14"), 1);
        EXPECT_EQ(KXGetCurrentSystemDictionary()["ProductVersion"], PlistValue("10.14.6"));
    }
    EXPECT_EQ(kx::systemPaths().swVers, before.swVers);
    EXPECT_EQ(kx::systemPaths().userDefaults, before.userDefaults);
}

} // namespace
