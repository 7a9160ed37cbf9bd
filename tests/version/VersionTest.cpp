#include "platform/defaults/UserDefaults.h"
#include "platform/files/SourceFingerprint.h"
#include "platform/log/Log.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/Version.h>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A sw_vers noting its runs, a fresh store, and version sources of our own (one missing at first).
class SystemVersionTest : public ::testing::Test {
protected:
    SystemVersionTest() {
        useTool(kTool);
        toolPrints("10.15.7", "ProductName:\tMac OS X");
        vztest::writeFile(osRelease_, "VERSION_ID=10.15\n");
        age(osRelease_, 7200);
        paths_.set(&kx::SystemPaths::userDefaults, store_)
            .set(&kx::SystemPaths::versionSources, std::vector{osRelease_, debianVersion_});
        kx::setLogObserver([this](std::string_view line) { logged_.emplace_back(line); });
    }
    ~SystemVersionTest() override { kx::setLogObserver(nullptr); }

    void useTool(const std::string& body) {
        vztest::writeScript(dir_.file("sw_vers"), body);
        paths_.set(&kx::SystemPaths::swVers, dir_.file("sw_vers"));
    }
    void toolPrints(const std::string& version, const std::string& dictionary) {
        vztest::writeFile(dir_.file("version.out"), version + "\n");
        vztest::writeFile(dir_.file("dictionary.out"), dictionary + "\n");
    }
    // Dates the file back, as one installed long ago.
    static void age(const std::string& path, int seconds) {
        const timespec then[2] = {{time(nullptr) - seconds, 0}, {time(nullptr) - seconds, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), then, 0), 0) << path;
    }
    std::size_t runCount() const {
        return vztest::lines(vztest::readFile(dir_.file("runs"))).size();
    }

    vztest::TempDir dir_;
    const std::string kTool = "cd '" + dir_.path() +
                              "'; echo run >> runs\n[ \"$1\" = "
                              "-productVersion ] && exec /bin/cat version.out\nexec /bin/cat "
                              "dictionary.out\n";
    const std::string osRelease_ = dir_.file("os-release"), store_ = dir_.file("p/defaults.plist"),
                      debianVersion_ = dir_.file("debian_version");
    vztest::ScopedSystemPaths paths_;
    kx::UserDefaults& defaults_ = kx::UserDefaults::standard();
    std::vector<std::string> logged_;
};

TEST_F(SystemVersionTest, ComparesTheCachedVersionWithTheTrimmedArgument) {
    const std::tuple<std::string, std::optional<std::string>, std::int64_t> cases[] = {
        {"10.14", "10.14.6", -1},                                   // an initial part orders first
        {"100000000000000000000000", "99999999999999999999999", 1}, // by value, no overflow
        {"10.01", "10.1", 0},                                       // leading zeros do not count
        {"10.13", "macOS 10.13", 0},
        {"10.13", "10.13-beta", -1}, // trimmed to "10.13-": the hyphen stays
        {"10.13", "\t10.13\u00A0", 0},
        {"10.13", "macOS Sonoma", 1}, // trims to ""
        {"10.13", std::nullopt, 0},
        {" 10.13", "10.13", -1}, // the running version is never trimmed
    };
    for (const auto& [running, given, expected] : cases) {
        ASSERT_TRUE(defaults_.setValueForKey("KXCurrentSWVers", running));
        EXPECT_EQ(KXCompareCurrentSystemVersionWith(given), expected) << running;
    }
    EXPECT_EQ(runCount(), 0u); // a cached version never runs the tool
}

TEST_F(SystemVersionTest, AFailedEmptyOrNonAsciiAnswerIsNeverCached) {
    const std::pair<std::string, std::optional<std::string>> broken[] = {
        {"", ""}, // no tool at all
        {"echo; echo\n", ""},
        {"printf '10.15\\302\\240\\n'\n", std::nullopt},
    };
    for (const auto& [tool, version] : broken) {
        SCOPED_TRACE(tool);
        if (tool.empty())
            std::remove(dir_.file("sw_vers").c_str());
        else
            useTool(tool);
        EXPECT_EQ(KXGetCurrentSystemString(), version);
        // An empty version is older than any; one that is not text compares with nothing.
        EXPECT_EQ(KXCompareCurrentSystemVersionWith("10.12"), version ? -1 : 0);
        EXPECT_EQ(KXGetCurrentSystemDictionary(), PlistValue::dictionary());
        EXPECT_EQ(kx::UserDefaults().snapshot().root(), PlistValue::dictionary());
        useTool(kTool);
        EXPECT_EQ(KXGetCurrentSystemString(), "10.15.7");
        EXPECT_EQ(KXGetCurrentSystemDictionary().count(), 1u);
        std::remove(store_.c_str());
    }
    // What an older build cached after a failure, or another program stored: nothing cached.
    const std::pair<const char*, PlistValue> leftovers[] = {
        {"KXCurrentSWVers", ""},
        {"KXCurrentSWVers", 10.15},
        {"KXCurrentSWVersDict", PlistValue::dictionary()},
        {"KXCurrentSWVersDict", "ProductName: Mac OS X"},
    };
    for (const auto& [key, value] : leftovers) {
        EXPECT_EQ(KXGetCurrentSystemString(), "10.15.7");
        EXPECT_EQ(KXGetCurrentSystemDictionary().count(), 1u);
        ASSERT_TRUE(defaults_.setValueForKey(key, value));
        const std::size_t before = runCount();
        EXPECT_EQ(KXGetCurrentSystemString(), "10.15.7") << key;
        EXPECT_EQ(KXGetCurrentSystemDictionary().count(), 1u) << key;
        EXPECT_EQ(runCount(), before + 1) << key;
    }
}

TEST_F(SystemVersionTest, AChangedSourceRefreshesBothKeysAndAnUnmarkedStoreIsTrusted) {
    EXPECT_EQ(KXGetCurrentSystemString(), "10.15.7");
    EXPECT_EQ(KXGetCurrentSystemDictionary()["ProductName"], "Mac OS X");
    // How an update leaves the sources: touched, created beside (or removed), replaced.
    const std::pair<const char*, std::function<void()>> updates[] = {
        {"touched", [&] { age(osRelease_, 3600); }},
        {"created", [&] { vztest::writeFile(debianVersion_, "10.15.1\n"); }},
        {"replaced",
         [&] {
             vztest::writeFile(osRelease_ + ".new", "VERSION_ID=10.15\n");
             age(osRelease_ + ".new", 3600);
             std::filesystem::rename(osRelease_ + ".new", osRelease_);
         }},
    };
    const auto afterARecheck = [] {
        std::this_thread::sleep_for(kx::kVersionSourcesRecheck + 20ms);
    };
    int release = 7;
    for (const auto& [how, update] : updates) {
        SCOPED_TRACE(how);
        const std::string version = "10.15." + std::to_string(++release);
        toolPrints(version, "ProductVersion:\t" + version);
        afterARecheck();
        const std::size_t before = runCount();
        EXPECT_EQ(KXGetCurrentSystemString(), "10.15.7") << "refreshed though unchanged";
        update();
        afterARecheck();
        EXPECT_EQ(KXCompareCurrentSystemVersionWith(version), 0);
        EXPECT_EQ(KXGetCurrentSystemDictionary()["ProductVersion"], version);
        EXPECT_EQ(runCount(), before + 2); // one run for each key
        toolPrints("10.15.7", "ProductName:\tMac OS X");
        std::remove(store_.c_str());
        EXPECT_EQ(KXGetCurrentSystemString(), "10.15.7");
        EXPECT_EQ(KXGetCurrentSystemDictionary()["ProductName"], "Mac OS X");
    }
    // A store an older build wrote holds no fingerprint: its values stay, whatever changes.
    vztest::writeFile(store_,
                      PlistValue(PlistValue::Dictionary{{"KXCurrentSWVers", "10.9"}}).xml());
    age(osRelease_, 60);
    afterARecheck();
    const std::size_t before = runCount();
    EXPECT_EQ(KXGetCurrentSystemString(), "10.9");
    EXPECT_EQ(KXGetCurrentSystemDictionary()["ProductName"], "Mac OS X");
    age(osRelease_, 30);
    afterARecheck();
    EXPECT_EQ(KXGetCurrentSystemString(), "10.9");
    EXPECT_EQ(runCount(), before + 1); // the missing dictionary only
}

TEST_F(SystemVersionTest, DictionaryTakesOneEntryPerLineWithAColonAndIsLoggedOnce) {
    toolPrints("10.15.7", "ProductName:\tmacOS\n"
                          "ProductVersion :\t 10.15.7 \r\n" // the space before the colon stays
                          "BuildVersion:\t19H2:extra\n"     // only the text up to a second colon
                          "No colon on this line\n\n"
                          ":\tunnamed\n"
                          "ProductName:\tMac OS X"); // a later line replaces an earlier one
    const PlistValue expected(PlistValue::Dictionary{{"ProductName", "Mac OS X"},
                                                     {"ProductVersion ", "10.15.7"},
                                                     {"BuildVersion", "19H2"},
                                                     {"", "unnamed"}});
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(KXGetCurrentSystemDictionary(), expected);
    EXPECT_EQ(runCount(), 1u);
    EXPECT_EQ(logged_, std::vector<std::string>{expected.description()});
    EXPECT_EQ(kx::UserDefaults().dictionaryForKey("KXCurrentSWVersDict"), expected);
}

} // namespace
