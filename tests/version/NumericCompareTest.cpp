#include "version/NumericCompare.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(NumericCompare, OrdersVersionTexts) {
    const struct {
        std::string a;
        std::string b;
        std::int64_t expected;
        const char* why;
    } cases[] = {
        {"10.10", "10.9", 1, "digit runs compare by value"},
        {"2", "10", -1, "a shorter number is smaller"},
        {"10.14", "10.14", 0, "same text"},
        {"10.14", "10.14.6", -1, "an initial part orders first"},
        {"", "10.12", -1, "empty orders before anything"},
        {"10.01", "10.1", 0, "leading zeros do not count"},
        {"10.0", "10.00", 0, "zero runs of any length are equal"},
        {"10.09", "10.10", -1, "leading zeros do not count"},
        {"1.2a", "1.2b", -1, "other characters by value"},
        {"1.2B", "1.2a", -1, "case-sensitive: B orders before a"},
        {"10.1", "10.a", -1, "a digit orders by its character value against a letter"},
        {"10a", "10.", 1, "a letter orders after a dot"},
        {"z", "\xC3\xA9", -1, "by code point: U+007A before U+00E9"},
        {"100000000000000000000000", "99999999999999999999999", 1, "no overflow"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a + " vs " + c.b + ": " + c.why);
        EXPECT_EQ(vz::compareNumerically(c.a, c.b), c.expected);
        EXPECT_EQ(vz::compareNumerically(c.b, c.a), -c.expected);
    }
}

} // namespace
