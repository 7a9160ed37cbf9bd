#include "version/NumericCompare.h"

#include <cstddef>

namespace vz {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The digit run starting at text[at], without its leading zeros; at moves past the run.
std::string_view digitRun(std::string_view text, std::size_t& at) {
    while (at < text.size() && text[at] == '0' && at + 1 < text.size() && isDigit(text[at + 1]))
        ++at;
    const std::size_t start = at;
    while (at < text.size() && isDigit(text[at]))
        ++at;
    return text.substr(start, at - start);
}

} // namespace

std::int64_t compareNumerically(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            const std::string_view x = digitRun(a, i);
            const std::string_view y = digitRun(b, j);
            // Without leading zeros, the longer run is the larger number.
            if (x.size() != y.size())
                return x.size() < y.size() ? -1 : 1;
            if (const int order = x.compare(y); order != 0)
                return order < 0 ? -1 : 1;
            continue;
        }
        const auto x = static_cast<unsigned char>(a[i]);
        const auto y = static_cast<unsigned char>(b[j]);
        if (x != y)
            return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size())
        return 1;
    if (j < b.size())
        return -1;
    return 0;
}

} // namespace vz
