#include "platform/text/DateStamp.h"

#include "runner/RunnerTestSupport.h"

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

using vztest::ScopedEnvironment;

// Friday 2024-03-15 15:04:05 UTC.
constexpr double kFridayAfternoonUtc = 1710515045000.0;

TEST(DateLocale, PosixNamesBecomeIcuIds) {
    const std::pair<const char*, const char*> cases[] = {
        {"de_DE.UTF-8", "de_DE"},
        {"de_DE.UTF-8@euro", "de_DE"}, // a modifier ICU has no use for is dropped
        {"sr_RS@latin", "sr_Latn_RS"},
        {"ja", "ja"},
        {"C", "en_US_POSIX"},
        {"POSIX", "en_US_POSIX"},
        {"C.UTF-8", "en_US_POSIX"},
        {"", "en_US_POSIX"},
    };
    for (const auto& [posix, icu] : cases)
        EXPECT_EQ(kx::icuLocaleFromPosixName(posix), icu) << posix;
}

TEST(DateLocale, LcAllThenLcTimeThenLangEachSkippedWhenEmpty) {
    const std::optional<std::string> unset;
    const struct {
        std::optional<std::string> all, time, lang;
        const char* expected;
    } cases[] = {
        {"de_DE", "fr_FR", "ja_JP", "de_DE"}, {"", "fr_FR", "ja_JP", "fr_FR"},
        {unset, "fr_FR", "ja_JP", "fr_FR"},   {"", "", "ja_JP", "ja_JP"},
        {unset, unset, "ja_JP", "ja_JP"},     {"", "", "", "C"},
        {unset, unset, unset, "C"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        // LC_MESSAGES is what ICU itself would read; it must not count.
        ScopedEnvironment environment{
            {"LC_ALL", c.all}, {"LC_TIME", c.time}, {"LANG", c.lang}, {"LC_MESSAGES", "it_IT"}};
        EXPECT_EQ(kx::posixDateLocaleName(), c.expected);
    }
}

TEST(DateStamp, NamesAndClockFollowTheLocaleAndTimeZone) {
    const struct {
        const char* lcTime;
        const char* tz; // read on every call, not once
        std::vector<const char*> parts;
    } cases[] = {
        {"de_DE.UTF-8", "UTC", {"Freitag", "15", "März", "2024", "3:04:05", "PM"}},
        {"C", "UTC", {"Friday", "15", "March", "2024", "3:04:05", "PM"}},
        {"C", "Asia/Tokyo", {"Saturday", "16", "12:04:05", "AM"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.lcTime) + " " + c.tz);
        ScopedEnvironment environment{
            {"LC_ALL", std::nullopt}, {"LC_TIME", c.lcTime}, {"LANG", "ja_JP"}, {"TZ", c.tz}};
        const std::string stamp = kx::formatDateStamp(kFridayAfternoonUtc);
        for (const char* part : c.parts)
            EXPECT_NE(stamp.find(part), std::string::npos) << stamp << " lacks " << part;
    }
}

} // namespace
