#include "platform/text/DateStamp.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

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
    const double instant = 1796594304000.0; // 6 December 2026, 21:58:24 UTC
    const auto stampUnder = [&](const char* variable, const std::string& value) {
        for (const char* name : {"LC_ALL", "LC_TIME", "LANG"})
            unsetenv(name);
        setenv(variable, value.c_str(), 1);
        EXPECT_FALSE(kx::currentDateStamp().empty()) << value;
        return kx::formatDateStamp(instant);
    };
    const std::string posix = stampUnder("LC_ALL", "C");
    const struct {
        std::string value;
        bool posix; // read as en_US_POSIX, else a locale of its own
        const char* why;
    } cases[] = {
        {"xxxxxxxxxxxx", true, "a language subtag longer than eight letters"},
        {std::string(300, 'a') + "_US.UTF-8", true, "a language far longer than any subtag"},
        {"\xff\xfe_\x80", true, "not ASCII letters, not even UTF-8"},
        {"en__US", true, "an empty territory between two separators"},
        {"a b", true, "a blank inside the name"},
        {"@", true, "a modifier with no language"},
        {"../../etc", true, "a path, not a name"},
        {"", true, "empty: the variable is skipped, and the default is C"},
        {"POSIX", true, "the POSIX locale itself"},
        {"C.UTF-8", true, "C with a codeset"},
        {"xx_YY.UTF-8@calendar=bogus", true,
         "well formed, but a language ICU has no data for "
         "(and not ICU's default locale either)"},
        {"xxxxxxxx", true, "eight letters: a subtag ICU takes, but no language it knows"},
        {"de_DE.UTF-8", false, "a real locale: German dates"},
        {"sr_RS@latin", false, "a real locale with a script modifier"},
    };
    for (const auto& c : cases)
        for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
            const std::string stamp = stampUnder(variable, c.value);
            EXPECT_FALSE(stamp.empty()) << c.why;
            EXPECT_EQ(stamp == posix, c.posix)
                << variable << "=" << c.value << " (" << c.why << "): " << stamp;
        }
    for (const char* name : {"LC_ALL", "LC_TIME", "LANG"})
        unsetenv(name);
    icu::Locale::setDefault(savedDefault, status);
}

} // namespace
