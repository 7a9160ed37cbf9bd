// Size text for any double, both scales, and the mebibyte rounding.
#include "FuzzSupport.h"
#include "volumes/SizeText.h"

#include <VivoziZevidodirid/Volumes.h>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 9> kUnits = {"bytes", "KB", "MB", "GB", "TB",
                                                    "PB",    "EB", "ZB", "YB"};

bool isPlainNumber(std::string_view number) {
    if (number.starts_with('-'))
        number.remove_prefix(1);
    const auto point = number.find('.');
    const std::string_view whole = number.substr(0, point);
    if (whole.empty() || whole.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    if (point == std::string_view::npos)
        return true;
    const std::string_view fraction = number.substr(point + 1);
    return fraction.size() == 2 &&
           fraction.find_first_not_of("0123456789") == std::string_view::npos;
}

void checkSizeText(double bytes, vz::SizeScale scale) {
    const std::string text = vz::sizeText(bytes, scale);
    const auto space = text.rfind(' ');
    VZ_FUZZ_CHECK(space != std::string::npos);
    const std::string_view number = std::string_view(text).substr(0, space);
    const std::string_view unit = std::string_view(text).substr(space + 1);
    std::size_t steps = 0;
    while (steps < kUnits.size() && kUnits[steps] != unit)
        ++steps;
    VZ_FUZZ_CHECK(steps < kUnits.size());
    VZ_FUZZ_CHECK(!number.ends_with(".00"));
    if (std::isnan(bytes)) {
        VZ_FUZZ_CHECK(number == "nan" || number == "-nan");
        return;
    }
    if (std::isinf(bytes)) {
        VZ_FUZZ_CHECK(number == (bytes > 0 ? "inf" : "-inf"));
        VZ_FUZZ_CHECK(unit == (bytes > 0 ? "YB" : "bytes"));
        return;
    }
    VZ_FUZZ_CHECK(isPlainNumber(number));
    double shown = 0;
    std::from_chars(number.data(), number.data() + number.size(), shown);
    const double step = scale == vz::SizeScale::Binary ? 1024.0 : 1000.0;
    // Scaled down while above the step: what is shown lies within one step.
    VZ_FUZZ_CHECK(shown <= step);
    if (unit != "bytes")
        VZ_FUZZ_CHECK(shown >= 1.0);
    // The shown number times its unit gives back the count, within the two decimals' rounding.
    // Past the last unit the scaling goes on, so "YB" may stand for any power of the step.
    if (unit == "YB")
        return;
    const double unitSize = std::pow(step, static_cast<double>(steps));
    VZ_FUZZ_CHECK(std::fabs(shown * unitSize - bytes) <=
                  0.005 * unitSize * (1 + 1e-9) + std::fabs(bytes) * 1e-12);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vzfuzz::privateSystem("13.5"); // steps of 1000
    if (size < sizeof(double))
        return 0;
    double bytes;
    std::memcpy(&bytes, data, sizeof bytes);
    checkSizeText(bytes, vz::SizeScale::Decimal);
    checkSizeText(bytes, vz::SizeScale::Binary);
    VZ_FUZZ_CHECK(KXFoundationConvertBytesToStringValue(bytes) ==
                  vz::sizeText(bytes, vz::SizeScale::Decimal));

    double rounded = bytes;
    const std::string text = KXFoundationRoundByteCountToMBAndString(&rounded);
    VZ_FUZZ_CHECK(text.ends_with("M"));
    if (std::isfinite(bytes)) {
        const std::string_view number = std::string_view(text).substr(0, text.size() - 1);
        VZ_FUZZ_CHECK(isPlainNumber(number) && number.find('.') == std::string_view::npos);
        // Rounded down, never up; a count so small that its mebibytes underflow to -0 is the
        // one exception the multiply-then-floor rule allows.
        if (std::fabs(bytes) > 1e-290)
            VZ_FUZZ_CHECK(rounded <= bytes);
    }
    return 0;
}
