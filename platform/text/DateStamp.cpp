#include "platform/text/DateStamp.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <unicode/calendar.h>
#include <unicode/dtptngen.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

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

std::string icuLocaleFromPosixName(std::string_view posixName) {
    std::string_view modifier;
    if (const auto at = posixName.find('@'); at != std::string_view::npos) {
        modifier = posixName.substr(at + 1);
        posixName = posixName.substr(0, at);
    }
    if (const auto dot = posixName.find('.'); dot != std::string_view::npos)
        posixName = posixName.substr(0, dot);
    if (posixName.empty() || posixName == "C" || posixName == "POSIX")
        return "en_US_POSIX";

    std::string_view language = posixName;
    std::string_view territory;
    if (const auto underscore = posixName.find('_'); underscore != std::string_view::npos) {
        language = posixName.substr(0, underscore);
        territory = posixName.substr(underscore + 1);
    }
    std::string id(language);
    if (const auto script = scriptForModifier(modifier); !script.empty())
        id.append("_").append(script);
    if (!territory.empty())
        id.append("_").append(territory);
    return id;
}

std::string posixDateLocaleName() {
    for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value)
            return value;
    }
    return "C";
}

std::string formatDateStamp(double unixMilliseconds) {
    const icu::Locale locale(icuLocaleFromPosixName(posixDateLocaleName()).c_str());
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<icu::DateTimePatternGenerator> generator(
        icu::DateTimePatternGenerator::createInstance(locale, status));
    if (U_FAILURE(status))
        return {};
    const icu::UnicodeString pattern =
        generator->getBestPattern(icu::UnicodeString(kSkeleton), UDATPG_MATCH_NO_OPTIONS, status);
    if (U_FAILURE(status))
        return {};
    icu::SimpleDateFormat formatter(pattern, locale, status);
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

std::string currentDateStamp() {
    return formatDateStamp(icu::Calendar::getNow());
}

} // namespace kx
