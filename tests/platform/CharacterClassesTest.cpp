#include "platform/text/CharacterClasses.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(CharacterClasses, MembershipFollowsTheUnicodeCategories) {
    const struct {
        char32_t c;
        bool letterOrMark;
        bool whitespace;
        bool whitespaceOrNewline;
        const char* what;
    } cases[] = {
        {U'a', true, false, false, "Ll"},
        {U'\u3042', true, false, false, "hiragana a, Lo"},
        {U'\U0001D400', true, false, false, "mathematical bold A, beyond the BMP"},
        {U'\u0301', true, false, false, "combining acute, Mn"},
        {U'\u0903', true, false, false, "devanagari visarga, Mc"},
        {U'1', false, false, false, "digit"},
        {U'\u00B2', false, false, false, "superscript two, No"},
        {U' ', false, true, true, "space"},
        {U'\t', false, true, true, "tab"},
        {U'\u00A0', false, true, true, "no-break space, Zs"},
        {U'\n', false, false, true, "line feed"},
        {U'\u0085', false, false, true, "next line"},
        {U'\u2028', false, false, true, "line separator, Zl"},
        {U'\u200B', false, false, false, "zero width space is Cf, not a separator"},
        {U'\u001C', false, false, false, "file separator, a control outside 9-13"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(kx::isLetterOrMark(c.c), c.letterOrMark);
        EXPECT_EQ(kx::isWhitespace(c.c), c.whitespace);
        EXPECT_EQ(kx::isWhitespaceOrNewline(c.c), c.whitespaceOrNewline);
    }
}

TEST(CharacterClasses, TrimmingRemovesOnlyTheEnds) {
    using Trim = std::string_view (*)(std::string_view);
    const Trim newlines = kx::trimWhitespaceAndNewlines;
    const Trim letters = kx::trimLettersAndWhitespace;
    const struct {
        Trim trim;
        std::string input;
        std::string expected;
    } cases[] = {
        {newlines, "\t10.15.7 \r\n", "10.15.7"}, {newlines, "\u00A0\u2009 a b \u3000\u2028", "a b"},
        {letters, "macOS 10.13", "10.13"},       {letters, "10.13-beta", "10.13-"},
        {letters, "10.13\n", "10.13\n"},         {letters, "Versión\u00A010.13 é", "10.13"},
        {letters, "e\u030110.13", "10.13"},      {letters, "10 a 13", "10 a 13"},
        {letters, "macOS Sonoma", ""},           {letters, "\377abc", "\377"}, // not UTF-8: kept
        {letters, "ab\342\200cd", "\342\200"}, // a truncated sequence
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("input: \"" + c.input + "\"");
        EXPECT_EQ(c.trim(c.input), c.expected);
    }
}

} // namespace
