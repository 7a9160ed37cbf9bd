#pragma once

#include <string_view>

namespace kx {

// The platform's character sets, by Unicode general category (ICU).

// letterCharacterSet: every letter and mark (L*, M*).
bool isLetterOrMark(char32_t c);
// whitespaceCharacterSet: the space separators (Zs) and the tab; no line breaks.
bool isWhitespace(char32_t c);
// whitespaceAndNewlineCharacterSet: Zs, U+0009 to U+000D, U+0085, and the line and paragraph
// separators (Zl, Zp).
bool isWhitespaceOrNewline(char32_t c);

// The UTF-8 text without the code points of the set at either end; characters inside stay. An
// ill-formed byte sequence belongs to no set, so trimming stops there.
std::string_view trimWhitespaceAndNewlines(std::string_view text);
// Letters, marks and white space without line breaks.
std::string_view trimLettersAndWhitespace(std::string_view text);
std::string_view trimUtf8(std::string_view text, bool (*inSet)(char32_t));

} // namespace kx
