#include "platform/text/CharacterClasses.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace kx {
namespace {

std::uint32_t categoryMask(char32_t c) {
    return U_GET_GC_MASK(static_cast<UChar32>(c));
}

// ICU's offsets are 32-bit: longer texts are trimmed within their first and last 2 GiB, which
// no run of trimmable characters reaches in practice.
constexpr std::size_t kWindow = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

} // namespace

// ASCII is answered here: most text never needs ICU, which is then never loaded.
bool isLetterOrMark(char32_t c) {
    if (c < 0x80)
        return (c >= U'A' && c <= U'Z') || (c >= U'a' && c <= U'z');
    return (categoryMask(c) & (U_GC_L_MASK | U_GC_M_MASK)) != 0;
}

bool isWhitespace(char32_t c) {
    if (c < 0x80)
        return c == U'\t' || c == U' ';
    return (categoryMask(c) & U_GC_ZS_MASK) != 0;
}

bool isWhitespaceOrNewline(char32_t c) {
    if (c < 0x80)
        return (c >= U'\t' && c <= U'\r') || c == U' ';
    return c == U'\u0085' || (categoryMask(c) & U_GC_Z_MASK) != 0;
}

std::string_view trimUtf8(std::string_view text, bool (*inSet)(char32_t)) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto headLength = static_cast<std::int32_t>(std::min(text.size(), kWindow));
    std::int32_t begin = 0;
    while (begin < headLength) {
        std::int32_t next = begin;
        UChar32 c;
        U8_NEXT(bytes, next, headLength, c);
        if (c < 0 || !inSet(static_cast<char32_t>(c)))
            break;
        begin = next;
    }
    const std::size_t start = static_cast<std::size_t>(begin);
    if (start == text.size())
        return text.substr(start, 0);

    // Walk back over the tail, never past the first kept character.
    const std::size_t tailLength = std::min(text.size() - start, kWindow);
    const std::uint8_t* tail = bytes + (text.size() - tailLength);
    auto end = static_cast<std::int32_t>(tailLength);
    while (end > 0) {
        std::int32_t previous = end;
        UChar32 c;
        U8_PREV(tail, 0, previous, c);
        if (c < 0 || !inSet(static_cast<char32_t>(c)))
            break;
        end = previous;
    }
    const std::size_t stop = text.size() - tailLength + static_cast<std::size_t>(end);
    return text.substr(start, stop - start);
}

std::string_view trimWhitespaceAndNewlines(std::string_view text) {
    return trimUtf8(text, isWhitespaceOrNewline);
}

std::string_view trimLettersAndWhitespace(std::string_view text) {
    return trimUtf8(text, [](char32_t c) { return isWhitespace(c) || isLetterOrMark(c); });
}

} // namespace kx
