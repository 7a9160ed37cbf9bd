// Only Linux code lives under platform/linux/: ICU, loaded when text first needs more than ASCII
// or a date is formatted. These stand in for the C functions of ICU that the library calls, under
// the versioned names ICU's headers give them; the export map keeps them inside the library.
#include "platform/linux/LazyLibrary.h"

#include <unicode/ucal.h>
#include <unicode/uchar.h>
#include <unicode/udat.h>
#include <unicode/udatpg.h>
#include <unicode/uloc.h>
#include <unicode/ures.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>
#include <unicode/uvernum.h>

namespace {

constinit kx::LazyLibrary common("libicuuc.so." KX_LAZY_STRINGIFY(U_ICU_VERSION_MAJOR_NUM));
constinit kx::LazyLibrary i18n("libicui18n.so." KX_LAZY_STRINGIFY(U_ICU_VERSION_MAJOR_NUM));

} // namespace

// Without ICU, a character has no category, no bytes decode, and every call that reports through
// a status fails as a missing data file would: callers take the neutral answer they take then.
#define KX_ICU_MISSING(result) (*status = U_FILE_ACCESS_ERROR, result)

U_CAPI int8_t U_EXPORT2 u_charType(UChar32 c) {
    KX_LAZY_FORWARD(common, u_charType, static_cast<int8_t>(U_UNASSIGNED), c);
}

U_CAPI UChar32 U_EXPORT2 utf8_prevCharSafeBody(const uint8_t* s, int32_t start, int32_t* pi,
                                               UChar32 c, UBool strict) {
    KX_LAZY_FORWARD(common, utf8_prevCharSafeBody, U_SENTINEL, s, start, pi, c, strict);
}

U_CAPI char* U_EXPORT2 u_strToUTF8WithSub(char* dest, int32_t capacity, int32_t* length,
                                          const UChar* src, int32_t srcLength, UChar32 sub,
                                          int32_t* substitutions, UErrorCode* status) {
    KX_LAZY_FORWARD(common, u_strToUTF8WithSub, KX_ICU_MISSING(nullptr), dest, capacity, length,
                    src, srcLength, sub, substitutions, status);
}

U_CAPI int32_t U_EXPORT2 uloc_forLanguageTag(const char* tag, char* locale, int32_t capacity,
                                             int32_t* parsed, UErrorCode* status) {
    KX_LAZY_FORWARD(common, uloc_forLanguageTag, KX_ICU_MISSING(0), tag, locale, capacity, parsed,
                    status);
}

U_CAPI UResourceBundle* U_EXPORT2 ures_open(const char* package, const char* locale,
                                            UErrorCode* status) {
    KX_LAZY_FORWARD(common, ures_open, KX_ICU_MISSING(nullptr), package, locale, status);
}

U_CAPI void U_EXPORT2 ures_close(UResourceBundle* bundle) {
    KX_LAZY_FORWARD(common, ures_close, void(), bundle);
}

U_CAPI UDateTimePatternGenerator* U_EXPORT2 udatpg_open(const char* locale, UErrorCode* status) {
    KX_LAZY_FORWARD(i18n, udatpg_open, KX_ICU_MISSING(nullptr), locale, status);
}

U_CAPI int32_t U_EXPORT2 udatpg_getBestPattern(UDateTimePatternGenerator* generator,
                                               const UChar* skeleton, int32_t length,
                                               UChar* pattern, int32_t capacity,
                                               UErrorCode* status) {
    KX_LAZY_FORWARD(i18n, udatpg_getBestPattern, KX_ICU_MISSING(0), generator, skeleton, length,
                    pattern, capacity, status);
}

U_CAPI void U_EXPORT2 udatpg_close(UDateTimePatternGenerator* generator) {
    KX_LAZY_FORWARD(i18n, udatpg_close, void(), generator);
}

U_CAPI UDateFormat* U_EXPORT2 udat_open(UDateFormatStyle timeStyle, UDateFormatStyle dateStyle,
                                        const char* locale, const UChar* zone, int32_t zoneLength,
                                        const UChar* pattern, int32_t patternLength,
                                        UErrorCode* status) {
    KX_LAZY_FORWARD(i18n, udat_open, KX_ICU_MISSING(nullptr), timeStyle, dateStyle, locale, zone,
                    zoneLength, pattern, patternLength, status);
}

U_CAPI int32_t U_EXPORT2 udat_format(const UDateFormat* format, UDate date, UChar* result,
                                     int32_t capacity, UFieldPosition* position,
                                     UErrorCode* status) {
    KX_LAZY_FORWARD(i18n, udat_format, KX_ICU_MISSING(0), format, date, result, capacity, position,
                    status);
}

U_CAPI void U_EXPORT2 udat_close(UDateFormat* format) {
    KX_LAZY_FORWARD(i18n, udat_close, void(), format);
}

U_CAPI int32_t U_EXPORT2 ucal_getHostTimeZone(UChar* zone, int32_t capacity, UErrorCode* status) {
    KX_LAZY_FORWARD(i18n, ucal_getHostTimeZone, KX_ICU_MISSING(0), zone, capacity, status);
}

U_CAPI UDate U_EXPORT2 ucal_getNow() {
    KX_LAZY_FORWARD(i18n, ucal_getNow, 0.0);
}
