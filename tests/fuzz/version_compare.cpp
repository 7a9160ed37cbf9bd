// The numeric version comparison and the trimming of the version given to it. Checks the
// comparison is a consistent ordering, blind to leading zeros, and the trim a fixed point.
#include "FuzzSupport.h"
#include "platform/text/CharacterClasses.h"
#include "version/NumericCompare.h"

#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <string>

namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Every run of digits without its leading zeros (one digit kept).
std::string withoutLeadingZeros(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool runStart = isDigit(text[i]) && (i == 0 || !isDigit(text[i - 1]));
        if (runStart) {
            while (text[i] == '0' && i + 1 < text.size() && isDigit(text[i + 1]))
                ++i;
        }
        out.push_back(text[i]);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    const std::string a = provider.ConsumeRandomLengthString(64);
    const std::string b = provider.ConsumeRandomLengthString(64);
    const std::string c = provider.ConsumeRemainingBytesAsString();
    using vz::compareNumerically;

    const std::int64_t ab = compareNumerically(a, b);
    VZ_FUZZ_CHECK(ab >= -1 && ab <= 1);
    VZ_FUZZ_CHECK(compareNumerically(b, a) == -ab);
    VZ_FUZZ_CHECK(compareNumerically(a, a) == 0);
    const std::int64_t bc = compareNumerically(b, c);
    const std::int64_t ac = compareNumerically(a, c);
    if (ab <= 0 && bc <= 0)
        VZ_FUZZ_CHECK(ac <= 0);
    if (ab == 0)
        VZ_FUZZ_CHECK(ac == bc);
    VZ_FUZZ_CHECK(compareNumerically(withoutLeadingZeros(a), b) == ab);

    // The trimmed text lies inside the given one, and trimming it again changes nothing.
    const std::string_view trimmed = kx::trimLettersAndWhitespace(c);
    VZ_FUZZ_CHECK(trimmed.data() >= c.data() &&
                  trimmed.data() + trimmed.size() <= c.data() + c.size());
    VZ_FUZZ_CHECK(kx::trimLettersAndWhitespace(trimmed) == trimmed);
    const std::string_view spaced = kx::trimWhitespaceAndNewlines(c);
    VZ_FUZZ_CHECK(kx::trimWhitespaceAndNewlines(spaced) == spaced);
    compareNumerically(a, trimmed);
    return 0;
}
