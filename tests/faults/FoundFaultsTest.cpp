// Faults found while hardening the library, each kept as a regular test.
#include <VivoziZevidodirid/PlistValue.h>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

void putBigEndian(std::string& out, std::uint64_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;)
        out.push_back(static_cast<char>(i >= 8 ? 0 : (value >> (8 * i)) & 0xFF));
}

// ["a", "bc"] with offsets and references written in the given widths.
std::string twoStrings(unsigned offsetWidth, unsigned referenceWidth) {
    std::string bytes = "bplist00";
    std::vector<std::uint64_t> offsets{bytes.size()};
    bytes.push_back('\xA2');
    putBigEndian(bytes, 1, referenceWidth);
    putBigEndian(bytes, 2, referenceWidth);
    offsets.push_back(bytes.size());
    bytes += "\x51"
             "a";
    offsets.push_back(bytes.size());
    bytes += "\x52"
             "bc";
    const std::uint64_t table = bytes.size();
    for (const std::uint64_t offset : offsets)
        putBigEndian(bytes, offset, offsetWidth);
    bytes.append(6, '\0');
    bytes.push_back(static_cast<char>(offsetWidth));
    bytes.push_back(static_cast<char>(referenceWidth));
    putBigEndian(bytes, offsets.size(), 8);
    putBigEndian(bytes, 0, 8);
    putBigEndian(bytes, table, 8);
    return bytes;
}

// The binary reader took only widths of 1, 2, 4 and 8 bytes, so every binary property list that
// libplist writes past 64 KiB (with 3-byte offsets) read as absent.
TEST(FoundFaults, BinaryPlistWithAnyOffsetOrReferenceWidthParses) {
    const PlistValue expected = PlistValue::Array{"a", "bc"};
    for (unsigned offsetWidth = 1; offsetWidth <= 8; ++offsetWidth) {
        for (unsigned referenceWidth = 1; referenceWidth <= 8; ++referenceWidth) {
            SCOPED_TRACE("offsets " + std::to_string(offsetWidth) + ", references " +
                         std::to_string(referenceWidth));
            EXPECT_EQ(PlistValue::parse(twoStrings(offsetWidth, referenceWidth)), expected);
        }
    }
    EXPECT_TRUE(PlistValue::parse(twoStrings(9, 1)).isAbsent());
    EXPECT_TRUE(PlistValue::parse(twoStrings(1, 0)).isAbsent());
}

} // namespace
