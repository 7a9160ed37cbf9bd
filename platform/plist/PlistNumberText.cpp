#include "platform/plist/PlistNumberText.h"

#include "platform/plist/PlistXmlSpace.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <locale.h>

namespace kx::plist {
namespace {

locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

} // namespace

bool parseInteger(std::string_view text, PlistValue::Integer& out) {
    text = trimXmlSpace(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return false;
    std::uint64_t magnitude = 0;
    if (base == 10 && text.size() < 20) {
        // Nineteen decimal digits cannot pass UINT64_MAX: no overflow checks.
        for (char c : text) {
            const unsigned digit = static_cast<unsigned char>(c) - unsigned{'0'};
            if (digit > 9)
                return false;
            magnitude = magnitude * 10 + digit;
        }
    } else {
        for (char c : text) {
            unsigned digit;
            if (c >= '0' && c <= '9')
                digit = static_cast<unsigned>(c - '0');
            else if (base == 16 && c >= 'a' && c <= 'f')
                digit = static_cast<unsigned>(c - 'a' + 10);
            else if (base == 16 && c >= 'A' && c <= 'F')
                digit = static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
            if (__builtin_mul_overflow(magnitude, std::uint64_t{base}, &magnitude) ||
                __builtin_add_overflow(magnitude, std::uint64_t{digit}, &magnitude))
                return false;
        }
    }
    constexpr std::uint64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
    if (negative) {
        if (magnitude > kInt64Max + 1)
            return false;
        out = {std::uint64_t{0} - magnitude, false};
    } else {
        out = {magnitude, magnitude > kInt64Max};
    }
    return true;
}

bool parseReal(std::string_view text, double& out) {
    text = trimXmlSpace(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '+' || text.front() == '-'))
            return false;
    }
    if (text.empty())
        return false;
    const char* const end = text.data() + text.size();
    auto [stop, ec] = std::from_chars(text.data(), end, out, std::chars_format::general);
    if (stop != end)
        return false;
    if (ec == std::errc::result_out_of_range) {
        // Overflow or underflow: take what strtod makes of it (an infinity, zero, or subnormal).
        const std::string copy(text);
        char* copyEnd = nullptr;
        out = strtod_l(copy.c_str(), &copyEnd, cLocale());
        return copyEnd == copy.c_str() + copy.size();
    }
    return ec == std::errc();
}

void appendReal(std::string& out, double value) {
    if (std::isnan(value)) {
        out.append("nan");
        return;
    }
    if (std::isinf(value)) {
        out.append(value < 0 ? "-inf" : "inf");
        return;
    }
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, end);
}

} // namespace kx::plist
