#include "volumes/SizeText.h"

#include "version/MacOSGate.h"
#include "volumes/StringOperations.h"

#include <VivoziZevidodirid/Volumes.h>
#include <array>
#include <charconv>
#include <cmath>

namespace vz {
namespace {

constexpr std::array<std::string_view, 9> kUnits = {"bytes", "KB", "MB", "GB", "TB",
                                                    "PB",    "EB", "ZB", "YB"};

// "%.2f" or "%.0f" in the C locale. The largest double in fixed notation has 309 digits before
// the point.
template <std::size_t Size>
std::string_view fixed(std::array<char, Size>& buffer, double value, int decimals) {
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed, decimals);
    return std::string_view(buffer.data(), static_cast<std::size_t>(result.ptr - buffer.data()));
}

using NumberBuffer = std::array<char, 320>;

} // namespace

std::string sizeText(double bytes, SizeScale scale) {
    std::size_t steps = 0;
    if (scale == SizeScale::Binary) {
        if (bytes > 1024.0) {
            do {
                bytes *= 0.0009765625;
                ++steps;
            } while (bytes > 1024.0 && !std::isinf(bytes));
        }
    } else if (bytes > 1000.0) {
        do {
            bytes /= 1000.0;
            ++steps;
        } while (bytes > 1000.0 && !std::isinf(bytes));
    }
    // Infinity never comes down: it stops after its first step and takes the last unit.
    if (std::isinf(bytes) && bytes > 0)
        steps = kUnits.size() - 1;

    NumberBuffer buffer;
    const std::string number = stringByRemovingSuffix(fixed(buffer, bytes, 2), ".00");
    const std::string_view unit = kUnits[std::min(steps, kUnits.size() - 1)];
    std::string text;
    text.reserve(number.size() + 1 + unit.size());
    text.append(number).append(" ").append(unit);
    return text;
}

SizeScale currentSizeScale() {
    return runningMacOSOlderThan("10.6") ? SizeScale::Binary : SizeScale::Decimal;
}

} // namespace vz

std::string KXFoundationConvertBytesToStringValue(std::optional<double> bytes) {
    return vz::sizeText(bytes.value_or(0.0), vz::currentSizeScale());
}

std::string KXFoundationRoundByteCountToMBAndString(double* bytes) {
    const double mebibytes = bytes ? std::floor(*bytes * 9.5367431640625e-07) : 0.0;
    if (bytes)
        *bytes = mebibytes;
    vz::NumberBuffer buffer;
    std::string text(vz::fixed(buffer, mebibytes, 0));
    text.append("M");
    if (bytes)
        *bytes *= 1048576.0;
    return text;
}
