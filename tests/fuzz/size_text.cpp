// Size text for any double, both scales, and the mebibyte rounding.
#include "FuzzSupport.h"
#include "volumes/SizeText.h"

#include <VivoziZevidodirid/Volumes.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <regex>
#include <string>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 9> kUnits = {"bytes", "KB", "MB", "GB", "TB",
                                                    "PB",    "EB", "ZB", "YB"};

// Digits, with two decimals or none (the decimals are not "00").
bool isPlainNumber(std::string_view number, bool decimals = true) {
    static const std::regex withDecimals("-?[0-9]+(\\.[0-9][1-9]|\\.[1-9]0)?"), whole("-?[0-9]+");
    return std::regex_match(number.begin(), number.end(), decimals ? withDecimals : whole);
}

void checkSizeText(double bytes, vz::SizeScale scale) {
    const std::string text = vz::sizeText(bytes, scale);
    const auto space = text.rfind(' ');
    VZ_FUZZ_CHECK(space != std::string::npos);
    const std::string_view number(text.data(), space), unit(text.data() + space + 1);
    const auto steps = static_cast<std::size_t>(std::ranges::find(kUnits, unit) - kUnits.begin());
    VZ_FUZZ_CHECK(steps < kUnits.size());
    if (!std::isfinite(bytes)) { // not a number has no unit but bytes; infinity is scaled up to YB
        VZ_FUZZ_CHECK(text ==
                      (std::signbit(bytes) ? "-" : "") + std::string(std::isnan(bytes) ? "nan bytes"
                                                                     : bytes > 0       ? "inf YB"
                                                                                 : "inf bytes"));
        return;
    }
    VZ_FUZZ_CHECK(isPlainNumber(number));
    double shown = 0;
    std::from_chars(number.data(), number.data() + number.size(), shown);
    const double step = scale == vz::SizeScale::Binary ? 1024.0 : 1000.0;
    // Scaled down while above the step: what is shown lies within one step.
    VZ_FUZZ_CHECK(shown <= step && (unit == "bytes" || shown >= 1.0));
    // The shown number times its unit gives back the count, within the two decimals' rounding.
    // Past the last unit the scaling goes on, so "YB" may stand for any power of the step.
    const double unitSize = std::pow(step, static_cast<double>(steps));
    VZ_FUZZ_CHECK(unit == "YB" || std::fabs(shown * unitSize - bytes) <=
                                      0.005 * unitSize * (1 + 1e-9) + std::fabs(bytes) * 1e-12);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vzfuzz::privateSystem(); // macOS 13.5: steps of 1000
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
        VZ_FUZZ_CHECK(isPlainNumber(std::string_view(text).substr(0, text.size() - 1), false));
        // Rounded down, never up; a count so small that its mebibytes underflow to -0 is the
        // one exception the multiply-then-floor rule allows.
        if (std::fabs(bytes) > 1e-290)
            VZ_FUZZ_CHECK(rounded <= bytes);
    }
    return 0;
}
