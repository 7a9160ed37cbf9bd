#include "platform/text/DateStamp.h"

#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unicode/calendar.h>
#include <unicode/dtptngen.h>
#include <unicode/localebuilder.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/ures.h>

namespace kx {
namespace {

constexpr char16_t kSkeleton[] = u"EEEEdMMMMyyyyhhmmss";

std::string_view scriptForModifier(std::string_view modifier) {
    if (modifier == "latin")
        return "Latn";
    if (modifier == "cyrillic")
        return "Cyrl";
    return {};
}

// ICU's host detection keeps static buffers and is documented as not thread safe.
icu::TimeZone* hostTimeZone() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    return icu::TimeZone::detectHostTimeZone();
}

} // namespace

icu::Locale icuLocaleFromPosixName(std::string_view posixName) {
    std::string_view modifier;
    if (const auto at = posixName.find('@'); at != std::string_view::npos) {
        modifier = posixName.substr(at + 1);
        posixName = posixName.substr(0, at);
    }
    if (const auto dot = posixName.find('.'); dot != std::string_view::npos)
        posixName = posixName.substr(0, dot);
    const icu::Locale posix("en_US_POSIX");
    if (posixName.empty() || posixName == "C" || posixName == "POSIX")
        return posix;

    std::string_view language = posixName;
    std::string_view territory;
    if (const auto underscore = posixName.find('_'); underscore != std::string_view::npos) {
        language = posixName.substr(0, underscore);
        territory = posixName.substr(underscore + 1);
    }
    // The builder refuses any part that is not a well-formed subtag (ICU 72 crashes on a bogus
    // locale later, in the pattern generator).
    UErrorCode status = U_ZERO_ERROR;
    const auto part = [](std::string_view text) {
        return icu::StringPiece(text.data(), static_cast<int32_t>(text.size()));
    };
    icu::Locale locale = icu::LocaleBuilder()
                             .setLanguage(part(language))
                             .setScript(part(scriptForModifier(modifier)))
                             .setRegion(part(territory))
                             .build(status);
    if (U_FAILURE(status) || locale.isBogus())
        return posix;
    // Without data of its own, ICU would take its process-wide default locale, which follows
    // LC_MESSAGES, before its root.
    const std::unique_ptr<UResourceBundle, decltype(&ures_close)> data(
        ures_open(nullptr, locale.getName(), &status), &ures_close);
    if (U_FAILURE(status) || status == U_USING_DEFAULT_WARNING)
        return posix;
    return locale;
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

// The best pattern for the skeleton, per locale. A pattern generator takes most of a stamp's
// time and depends on the locale alone; a handful of entries covers any real host, and the cache
// is emptied rather than grown when the locale variables keep changing.
std::optional<icu::UnicodeString> bestPattern(const icu::Locale& locale) {
    static std::mutex mutex;
    static std::map<std::string, icu::UnicodeString> patterns;
    {
        std::lock_guard lock(mutex);
        if (const auto found = patterns.find(locale.getName()); found != patterns.end())
            return found->second;
    }
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<icu::DateTimePatternGenerator> generator(
        icu::DateTimePatternGenerator::createInstance(locale, status));
    if (U_FAILURE(status) || !generator)
        return std::nullopt;
    const icu::UnicodeString pattern =
        generator->getBestPattern(icu::UnicodeString(kSkeleton), UDATPG_MATCH_NO_OPTIONS, status);
    if (U_FAILURE(status))
        return std::nullopt;
    std::lock_guard lock(mutex);
    if (patterns.size() >= 16)
        patterns.clear();
    patterns.emplace(locale.getName(), pattern);
    return pattern;
}

std::string formatIn(const icu::Locale& locale, double unixMilliseconds) {
    if (locale.isBogus())
        return {};
    const std::optional<icu::UnicodeString> pattern = bestPattern(locale);
    if (!pattern)
        return {};
    UErrorCode status = U_ZERO_ERROR;
    icu::SimpleDateFormat formatter(*pattern, locale, status);
    if (U_FAILURE(status))
        return {};
    // ICU's default zone is fixed at its first use; ask the host afresh so a change is seen.
    formatter.adoptTimeZone(hostTimeZone());
    icu::UnicodeString text;
    formatter.format(unixMilliseconds, text);
    std::string result;
    text.toUTF8String(result);
    return result;
}

} // namespace

std::string formatDateStamp(double unixMilliseconds) {
    std::string stamp = formatIn(icuLocaleFromPosixName(posixDateLocaleName()), unixMilliseconds);
    if (stamp.empty())
        stamp = formatIn(icu::Locale("en_US_POSIX"), unixMilliseconds);
    return stamp;
}

std::string currentDateStamp() {
    return formatDateStamp(icu::Calendar::getNow());
}

} // namespace kx
