#include "runner/ProgressText.h"

#include <charconv>
#include <cstdio>

namespace vz {
namespace {

std::string field(const PlistValue& value) {
    if (const auto text = value.stringValue())
        return std::string(*text);
    char buffer[32];
    std::to_chars_result written{};
    if (const auto* integer = value.integer())
        written = integer->isUnsigned ? std::to_chars(buffer, buffer + sizeof buffer, integer->bits)
                                      : std::to_chars(buffer, buffer + sizeof buffer,
                                                      static_cast<std::int64_t>(integer->bits));
    else if (const auto real = value.real())
        written = std::to_chars(buffer, buffer + sizeof buffer, *real);
    else if (const auto flag = value.boolean())
        return *flag ? "1" : "0";
    else
        return "(null)";
    return std::string(buffer, written.ptr);
}

} // namespace

std::string progressText(float fraction, const PlistValue& status, const PlistValue& name) {
    // Widened only after the single-precision product: 1/40 gives exactly 2.5f, printed 2; the
    // product in double precision would be 2.5000000372529 and print 3.
    const float percent = fraction * 100.0f;
    char number[64];
    std::snprintf(number, sizeof number, "%.0f", static_cast<double>(percent));
    return std::string(number) + "|" + field(status) + "|" + field(name);
}

} // namespace vz
