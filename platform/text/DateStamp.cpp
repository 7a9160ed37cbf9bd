#include "platform/text/DateStamp.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unicode/ucal.h>
#include <unicode/udat.h>
#include <unicode/udatpg.h>
#include <unicode/uloc.h>
#include <unicode/ures.h>
#include <unicode/ustring.h>

namespace kx {
namespace {

constexpr char16_t kSkeleton[] = u"EEEEdMMMMyyyyhhmmss";
constexpr char kPosixLocale[] = "en_US_POSIX";

std::string_view scriptForModifier(std::string_view modifier) {
    if (modifier == "latin")
        return "Latn";
    if (modifier == "cyrillic")
        return "Cyrl";
    return {};
}

bool allLetters(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}

bool allDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The subtags of a well-formed language tag; ICU crashes on a bogus locale later, in the pattern
// generator, so nothing else reaches it.
bool isLanguageSubtag(std::string_view text) {
    return ((text.size() >= 2 && text.size() <= 3) || (text.size() >= 5 && text.size() <= 8)) &&
           allLetters(text);
}

bool isRegionSubtag(std::string_view text) {
    return text.empty() || (text.size() == 2 && allLetters(text)) ||
           (text.size() == 3 && allDigits(text));
}

// ICU's host detection keeps static buffers and is documented as not thread safe.
std::u16string hostTimeZone() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::array<UChar, 128> zone{};
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = ucal_getHostTimeZone(zone.data(), zone.size(), &status);
    if (U_FAILURE(status) || length <= 0 || length >= static_cast<int32_t>(zone.size()))
        return u"Etc/Unknown";
    return std::u16string(zone.data(), static_cast<std::size_t>(length));
}

} // namespace

std::string icuLocaleFromPosixName(std::string_view posixName) {
    std::string_view modifier;
    if (const auto at = posixName.find('@'); at != std::string_view::npos) {
        modifier = posixName.substr(at + 1);
        posixName = posixName.substr(0, at);
    }
    if (const auto dot = posixName.find('.'); dot != std::string_view::npos)
        posixName = posixName.substr(0, dot);
    if (posixName.empty() || posixName == "C" || posixName == "POSIX")
        return kPosixLocale;

    std::string_view language = posixName;
    std::string_view territory;
    if (const auto underscore = posixName.find('_'); underscore != std::string_view::npos) {
        language = posixName.substr(0, underscore);
        territory = posixName.substr(underscore + 1);
    }
    if (!isLanguageSubtag(language) || !isRegionSubtag(territory))
        return kPosixLocale;
    std::string tag(language);
    for (const std::string_view part : {scriptForModifier(modifier), territory})
        if (!part.empty())
            tag.append("-").append(part);

    std::array<char, ULOC_FULLNAME_CAPACITY> name{};
    int32_t parsed = 0;
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length =
        uloc_forLanguageTag(tag.c_str(), name.data(), name.size(), &parsed, &status);
    if (U_FAILURE(status) || status == U_STRING_NOT_TERMINATED_WARNING ||
        parsed != static_cast<int32_t>(tag.size()) || length <= 0)
        return kPosixLocale;
    // Without data of its own, ICU would take its process-wide default locale, which follows
    // LC_MESSAGES, before its root.
    const std::unique_ptr<UResourceBundle, decltype(&ures_close)> data(
        ures_open(nullptr, name.data(), &status), &ures_close);
    if (U_FAILURE(status) || status == U_USING_DEFAULT_WARNING)
        return kPosixLocale;
    return std::string(name.data(), static_cast<std::size_t>(length));
}

std::string posixDateLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value)
            return value;
    }
    return "C";
}

namespace {

// Fills `text` the way ICU's C functions write: once more, with room enough, when the first try
// did not fit.
template <class Write> bool icuText(std::u16string& text, Write write) {
    text.resize(64);
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = write(text.data(), static_cast<int32_t>(text.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR && length > 0) {
        text.resize(static_cast<std::size_t>(length));
        status = U_ZERO_ERROR;
        length = write(text.data(), length, &status);
    }
    if (U_FAILURE(status) || length < 0 || static_cast<std::size_t>(length) > text.size())
        return false;
    text.resize(static_cast<std::size_t>(length));
    return true;
}

// The best pattern for the skeleton, per locale. A pattern generator takes most of a stamp's
// time and depends on the locale alone; a handful of entries covers any real host, and the cache
// is emptied rather than grown when the locale variables keep changing.
std::optional<std::u16string> bestPattern(const std::string& locale) {
    static std::mutex mutex;
    static std::map<std::string, std::u16string> patterns;
    {
        std::lock_guard lock(mutex);
        if (const auto found = patterns.find(locale); found != patterns.end())
            return found->second;
    }
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UDateTimePatternGenerator, decltype(&udatpg_close)> generator(
        udatpg_open(locale.c_str(), &status), &udatpg_close);
    if (U_FAILURE(status) || !generator)
        return std::nullopt;
    std::u16string pattern;
    if (!icuText(pattern, [&](UChar* buffer, int32_t capacity, UErrorCode* error) {
            return udatpg_getBestPattern(generator.get(), kSkeleton, -1, buffer, capacity, error);
        }))
        return std::nullopt;
    std::lock_guard lock(mutex);
    if (patterns.size() >= 16)
        patterns.clear();
    patterns.emplace(locale, pattern);
    return pattern;
}

std::string formatIn(const std::string& locale, double unixMilliseconds) {
    const std::optional<std::u16string> pattern = bestPattern(locale);
    if (!pattern)
        return {};
    // ICU's default zone is fixed at its first use; ask the host afresh so a change is seen.
    const std::u16string zone = hostTimeZone();
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<UDateFormat, decltype(&udat_close)> formatter(
        udat_open(UDAT_PATTERN, UDAT_PATTERN, locale.c_str(), zone.data(),
                  static_cast<int32_t>(zone.size()), pattern->data(),
                  static_cast<int32_t>(pattern->size()), &status),
        &udat_close);
    if (U_FAILURE(status) || !formatter)
        return {};
    std::u16string text;
    if (!icuText(text, [&](UChar* buffer, int32_t capacity, UErrorCode* error) {
            return udat_format(formatter.get(), unixMilliseconds, buffer, capacity, nullptr, error);
        }))
        return {};
    std::string result(3 * text.size(), '\0');
    int32_t written = 0;
    status = U_ZERO_ERROR;
    u_strToUTF8WithSub(result.data(), static_cast<int32_t>(result.size()), &written, text.data(),
                       static_cast<int32_t>(text.size()), 0xFFFD, nullptr, &status);
    if (U_FAILURE(status))
        return {};
    result.resize(static_cast<std::size_t>(written));
    return result;
}

} // namespace

std::string formatDateStamp(double unixMilliseconds) {
    std::string stamp = formatIn(icuLocaleFromPosixName(posixDateLocaleName()), unixMilliseconds);
    if (stamp.empty())
        stamp = formatIn(kPosixLocale, unixMilliseconds);
    return stamp;
}

std::string currentDateStamp() {
    return formatDateStamp(ucal_getNow());
}

} // namespace kx
