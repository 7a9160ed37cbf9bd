#include "platform/plist/PlistDateText.h"

#include "platform/plist/PlistXmlSpace.h"

#include <charconv>
#include <cmath>
#include <string>

namespace kx::plist {
namespace {

// The proleptic Gregorian calendar, after H. Hinnant's days_from_civil and civil_from_days.

// Days from 1970-01-01 to y-m-d.
constexpr std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    std::int64_t year;
    unsigned month, day;
};

constexpr Civil civilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {y + (m <= 2), m, d};
}

constexpr bool isLeapYear(std::int64_t y) {
    return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
}

constexpr unsigned daysInMonth(std::int64_t y, unsigned m) {
    constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeapYear(y) ? 29 : kDays[m - 1];
}

constexpr std::int64_t kReferenceDateUnix = 978307200; // 2001-01-01T00:00:00Z
static_assert(daysFromCivil(2001, 1, 1) * 86400 == kReferenceDateUnix);

// Reads exactly count decimal digits.
bool readDigits(std::string_view& text, std::size_t count, unsigned& value) {
    if (text.size() < count)
        return false;
    value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    text.remove_prefix(count);
    return true;
}

bool expect(std::string_view& text, char c) {
    if (text.empty() || text.front() != c)
        return false;
    text.remove_prefix(1);
    return true;
}

void appendPadded(std::string& out, std::uint64_t value, int width) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    for (int pad = width - static_cast<int>(end - buffer); pad > 0; --pad)
        out.push_back('0');
    out.append(buffer, end);
}

// The n digits of 10^n - 0.digits * 10^n, for digits not all zero: 1 - 0.digits as a decimal.
std::string complementDigits(std::string_view digits) {
    std::string result(digits);
    std::size_t last = result.size();
    while (last > 0 && result[last - 1] == '0')
        --last; // trailing zeros stay zeros
    if (last == 0)
        return result;
    result[last - 1] = static_cast<char>('0' + 10 - (result[last - 1] - '0'));
    for (std::size_t i = 0; i + 1 < last; ++i)
        result[i] = static_cast<char>('0' + 9 - (result[i] - '0'));
    return result;
}

} // namespace

bool parseDate(std::string_view text, double& secondsSinceReferenceDate) {
    text = trimXmlSpace(text);
    bool negative = false;
    bool signedYear = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        signedYear = true;
        text.remove_prefix(1);
    }
    // The year: four digits, or (signed) up to twelve.
    std::size_t yearDigits = 0;
    while (yearDigits < text.size() && text[yearDigits] >= '0' && text[yearDigits] <= '9')
        ++yearDigits;
    if (yearDigits < 4 || yearDigits > 12 || (yearDigits > 4 && !signedYear))
        return false;
    std::int64_t year = 0;
    for (std::size_t i = 0; i < yearDigits; ++i)
        year = year * 10 + (text[i] - '0');
    text.remove_prefix(yearDigits);
    if (negative)
        year = -year;

    unsigned month, day, hour, minute, second;
    if (!expect(text, '-') || !readDigits(text, 2, month) || !expect(text, '-') ||
        !readDigits(text, 2, day) || !expect(text, 'T') || !readDigits(text, 2, hour) ||
        !expect(text, ':') || !readDigits(text, 2, minute) || !expect(text, ':') ||
        !readDigits(text, 2, second))
        return false;
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return false;

    std::string_view fraction; // the digits after the point
    if (!text.empty() && text.front() == '.') {
        std::size_t digits = 1;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
            ++digits;
        if (digits == 1)
            return false;
        fraction = text.substr(1, digits - 1);
        text.remove_prefix(digits);
    }
    if (text != "Z")
        return false;

    // |year| < 10^12 keeps days within int64 by far; the seconds are checked.
    const std::int64_t days = daysFromCivil(year, month, day);
    std::int64_t seconds;
    if (__builtin_mul_overflow(days, std::int64_t{86400}, &seconds) ||
        __builtin_add_overflow(seconds, std::int64_t{hour} * 3600 + minute * 60 + second,
                               &seconds) ||
        __builtin_sub_overflow(seconds, kReferenceDateUnix, &seconds))
        return false;
    if (seconds > kMaxDateSeconds || seconds < -kMaxDateSeconds)
        return false;
    while (!fraction.empty() && fraction.back() == '0')
        fraction.remove_suffix(1);
    if (fraction.empty()) {
        secondsSinceReferenceDate = static_cast<double>(seconds);
        return true;
    }
    // The exact decimal seconds + 0.fraction, rounded once to the nearest double. Below zero
    // that is -(|seconds| - 1 + (1 - 0.fraction)), the complement of the digits.
    std::string number;
    if (seconds >= 0) {
        number = std::to_string(seconds);
        number.push_back('.');
        number.append(fraction);
    } else {
        number = "-" + std::to_string(-(seconds + 1));
        number.push_back('.');
        number.append(complementDigits(fraction));
    }
    auto [stop, ec] =
        std::from_chars(number.data(), number.data() + number.size(), secondsSinceReferenceDate);
    return ec == std::errc() && stop == number.data() + number.size();
}

CivilTime civilFromSeconds(std::int64_t seconds) {
    const std::int64_t unix = seconds + kReferenceDateUnix;
    std::int64_t days = unix / 86400;
    std::int64_t rest = unix % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    const Civil civil = civilFromDays(days);
    return {civil.year,
            civil.month,
            civil.day,
            static_cast<unsigned>(rest / 3600),
            static_cast<unsigned>(rest / 60 % 60),
            static_cast<unsigned>(rest % 60)};
}

void appendDate(std::string& out, double value) {
    if (!std::isfinite(value))
        value = 0.0;
    else if (!isWithinDateRange(value))
        value = std::copysign(static_cast<double>(kMaxDateSeconds), value);

    // The shortest fixed form of |value| that reads back to it: "whole[.digits]". Its whole part
    // is floor(|value|) (a non-integral double's rounding interval holds no integer).
    char buffer[400];
    auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value), std::chars_format::fixed);
    const std::string_view magnitude(buffer, ec == std::errc() ? end - buffer : 0);
    const std::size_t dot = magnitude.find('.');
    const std::string_view wholeDigits = magnitude.substr(0, dot);
    std::string_view digits =
        dot == std::string_view::npos ? std::string_view() : magnitude.substr(dot + 1);
    std::int64_t whole = 0;
    std::from_chars(wholeDigits.data(), wholeDigits.data() + wholeDigits.size(), whole);
    std::string fraction(digits);
    if (value < 0) {
        // value = -(whole + 0.digits) = -(whole + 1) + (1 - 0.digits).
        whole = -whole;
        if (!fraction.empty()) {
            whole -= 1;
            fraction = complementDigits(fraction);
        }
    }

    const CivilTime t = civilFromSeconds(whole);
    if (t.year < 0) {
        out.push_back('-');
        appendPadded(out, static_cast<std::uint64_t>(-t.year), 4);
    } else if (t.year > 9999) {
        out.push_back('+');
        appendPadded(out, static_cast<std::uint64_t>(t.year), 4);
    } else {
        appendPadded(out, static_cast<std::uint64_t>(t.year), 4);
    }
    out.push_back('-');
    appendPadded(out, t.month, 2);
    out.push_back('-');
    appendPadded(out, t.day, 2);
    out.push_back('T');
    appendPadded(out, t.hour, 2);
    out.push_back(':');
    appendPadded(out, t.minute, 2);
    out.push_back(':');
    appendPadded(out, t.second, 2);
    if (!fraction.empty()) {
        out.push_back('.');
        out.append(fraction);
    }
    out.push_back('Z');
}

} // namespace kx::plist
