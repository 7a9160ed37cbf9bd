// The numeric version comparison and the trimming of the version given to it. Checks the
// comparison is a consistent ordering, blind to leading zeros, and the trim a fixed point.
#include "FuzzSupport.h"
#include "platform/text/CharacterClasses.h"
#include "version/NumericCompare.h"

#include <cstddef>
#include <cstdint>
#include <fuzzer/FuzzedDataProvider.h>
#include <regex>
#include <string>

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
    // Every run of digits without its leading zeros (one digit kept) compares as before.
    static const std::regex leadingZeros("(^|[^0-9])0+([0-9])");
    VZ_FUZZ_CHECK(compareNumerically(std::regex_replace(a, leadingZeros, "$1$2"), b) == ab);

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
