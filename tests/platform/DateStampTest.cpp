#include "platform/text/DateStamp.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unicode/locid.h>

namespace {

TEST(DateLocale, LcAllThenLcTimeThenLangEachSkippedWhenEmpty) {
    // LC_MESSAGES is what ICU itself would read; it must not count. nullptr: unset.
    const char* names[] = {"LC_ALL", "LC_TIME", "LANG", "LC_MESSAGES"};
    const char* cases[][5] = {{"de_DE", "fr_FR", "ja_JP", "it_IT", "de_DE"},
                              {"", "fr_FR", "ja_JP", "it_IT", "fr_FR"},
                              {nullptr, nullptr, "ja_JP", "it_IT", "ja_JP"},
                              {"", "", "", "it_IT", "C"}};
    for (const auto& c : cases) {
        for (int i = 0; i < 4; ++i)
            c[i] ? setenv(names[i], c[i], 1) : unsetenv(names[i]);
        EXPECT_EQ(kx::posixDateLocaleName(), c[4]);
    }
    for (const char* name : names)
        unsetenv(name);
}

// No value of the locale variables may crash, throw or leave the stamp empty; one ICU refuses or
// has no data for is read as en_US_POSIX, the locale of "C", whatever ICU's own default.
TEST(DateLocale, HostileValuesFallBackToAFixedLocale) {
    const icu::Locale savedDefault = icu::Locale::getDefault();
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("ar_SA"), status);
    const char* variables[] = {"LC_ALL", "LC_TIME", "LANG"};
    const auto stampUnder = [&](const char* variable, const std::string& value) {
        for (const char* name : variables)
            unsetenv(name);
        setenv(variable, value.c_str(), 1);
        EXPECT_FALSE(kx::currentDateStamp().empty()) << value;
        return kx::formatDateStamp(1796594304000.0); // 6 December 2026, 21:58:24 UTC
    };
    const std::string posix = stampUnder("LC_ALL", "C");
    const auto check = [&](const std::string& value, bool isPosix) {
        for (const char* variable : variables) {
            const std::string stamp = stampUnder(variable, value);
            EXPECT_FALSE(stamp.empty()) << variable << "=" << value;
            EXPECT_EQ(stamp == posix, isPosix) << variable << "=" << value << ": " << stamp;
        }
    };
    // A subtag of 12 letters, not ASCII, an empty territory, a modifier alone, "" (skipped: C),
    // C's other names; a well-formed language ICU has no data for (not its default either) and
    // eight letters, a subtag but no language it knows.
    for (const std::string& value : std::initializer_list<std::string>{
             "xxxxxxxxxxxx", "\xff\xfe_\x80", "en__US", "@", "", "POSIX", "C.UTF-8",
             "xx_YY.UTF-8@calendar=bogus", "xxxxxxxx"})
        check(value, true);
    check("de_DE.UTF-8", false); // real locales, one with a script modifier
    check("sr_RS@latin", false);
    for (const char* name : variables)
        unsetenv(name);
    icu::Locale::setDefault(savedDefault, status);
}

} // namespace
