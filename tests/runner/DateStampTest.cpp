#include "platform/text/DateStamp.h"

#include "runner/RunnerTestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace {

using vztest::ScopedEnvironment;

// Friday 2024-03-15 15:04:05 UTC.
constexpr double kFridayAfternoonUtc = 1710515045000.0;

TEST(DateLocale, PosixNamesBecomeIcuIds) {
    struct Case {
        const char* posix;
        const char* icu;
    } cases[] = {
        {"de_DE.UTF-8", "de_DE"},
        {"fr_FR", "fr_FR"},
        {"en_GB.ISO-8859-1", "en_GB"},
        {"de_DE.UTF-8@euro", "de_DE"}, // a modifier ICU has no use for is dropped
        {"sr_RS@latin", "sr_Latn_RS"},
        {"uz_UZ.UTF-8@cyrillic", "uz_Cyrl_UZ"},
        {"ja", "ja"},
        {"C", "en_US_POSIX"},
        {"POSIX", "en_US_POSIX"},
        {"C.UTF-8", "en_US_POSIX"},
        {"", "en_US_POSIX"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.posix);
        EXPECT_EQ(kx::icuLocaleFromPosixName(c.posix), c.icu);
    }
}

TEST(DateLocale, LcAllThenLcTimeThenLangEachSkippedWhenEmpty) {
    using V = std::optional<std::string>;
    struct Case {
        V all, time, lang;
        const char* expected;
    } cases[] = {
        {"de_DE", "fr_FR", "ja_JP", "de_DE"},
        {"", "fr_FR", "ja_JP", "fr_FR"},
        {std::nullopt, "fr_FR", "ja_JP", "fr_FR"},
        {"", "", "ja_JP", "ja_JP"},
        {std::nullopt, std::nullopt, "ja_JP", "ja_JP"},
        {"", "", "", "C"},
        {std::nullopt, std::nullopt, std::nullopt, "C"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        // LC_MESSAGES is what ICU itself would read; it must not count.
        ScopedEnvironment environment{
            {"LC_ALL", c.all}, {"LC_TIME", c.time}, {"LANG", c.lang}, {"LC_MESSAGES", "it_IT"}};
        EXPECT_EQ(kx::posixDateLocaleName(), c.expected);
    }
}

TEST(DateStamp, NamesAndClockFollowTheLocaleForDates) {
    struct Case {
        const char* lcTime;
        std::vector<const char*> parts;
    } cases[] = {
        {"de_DE.UTF-8", {"Freitag", "15", "März", "2024", "3:04:05", "PM"}},
        {"fr_FR.UTF-8", {"vendredi", "15", "mars", "2024", "3:04:05"}},
        {"C", {"Friday", "15", "March", "2024", "3:04:05", "PM"}},
        {"en_US.UTF-8", {"Friday", "March", "2024", "3:04:05", "PM"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lcTime);
        ScopedEnvironment environment{
            {"LC_ALL", std::nullopt}, {"LC_TIME", c.lcTime}, {"LANG", "ja_JP"}, {"TZ", "UTC"}};
        const std::string stamp = kx::formatDateStamp(kFridayAfternoonUtc);
        for (const char* part : c.parts)
            EXPECT_NE(stamp.find(part), std::string::npos) << stamp << " lacks " << part;
    }
}

TEST(DateStamp, TimeZoneIsReadOnEveryCall) {
    ScopedEnvironment environment{{"LC_ALL", "en_US"}, {"TZ", "UTC"}};
    const std::string utc = kx::formatDateStamp(kFridayAfternoonUtc);
    setenv("TZ", "Asia/Tokyo", 1); // 00:04:05 on Saturday there
    const std::string tokyo = kx::formatDateStamp(kFridayAfternoonUtc);
    EXPECT_NE(utc.find("Friday"), std::string::npos) << utc;
    EXPECT_NE(tokyo.find("Saturday"), std::string::npos) << tokyo;
    EXPECT_NE(tokyo.find("12:04:05"), std::string::npos) << tokyo;
}

TEST(DateStamp, CurrentStampNamesAWeekday) {
    ScopedEnvironment environment{{"LC_ALL", "C"}};
    const std::string stamp = kx::currentDateStamp();
    const char* weekdays[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                              "Friday", "Saturday", "Sunday"};
    EXPECT_TRUE(std::any_of(std::begin(weekdays), std::end(weekdays), [&](const char* day) {
        return stamp.find(day) != std::string::npos;
    })) << stamp;
}

} // namespace
