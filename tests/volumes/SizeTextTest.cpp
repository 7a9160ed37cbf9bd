#include "support/SystemVersion.h"
#include "volumes/StringOperations.h"

#include <VivoziZevidodirid/Volumes.h>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

using vztest::ScopedSystemVersion;

struct SizeCase {
    double bytes;
    const char* decimal; // 10.6 and later: steps of 1000
    const char* binary;  // before 10.6: steps of 1024
};

constexpr double kInfinity = std::numeric_limits<double>::infinity();

const SizeCase kSizeCases[] = {
    {0, "0 bytes", "0 bytes"},
    {512, "512 bytes", "512 bytes"},
    {1000, "1000 bytes", "1000 bytes"},
    {1001, "1 KB", "1001 bytes"},
    {1024, "1.02 KB", "1024 bytes"},
    {1536, "1.54 KB", "1.50 KB"},
    {999999, "1000 KB", "976.56 KB"},  // 999.999 rounds to 1000.00
    {1000000, "1000 KB", "976.56 KB"}, // one step leaves exactly 1000, not above
    {1048576, "1.05 MB", "1024 KB"},
    {1500000, "1.50 MB", "1.43 MB"},
    {5000000000, "5 GB", "4.66 GB"},
    {-5, "-5 bytes", "-5 bytes"},
    {1e24, "1000 ZB", "847.03 ZB"}, // seven steps leave exactly 1000
    {2e24, "2 YB", "1.65 YB"},
    {5e27, "5 YB", "4.04 YB"}, // nine steps: past the last unit the steps go on
    {std::numeric_limits<double>::max(), "179.77 YB", "16 YB"},
    // Not above the threshold, so unscaled: every one of the 309 digits is kept.
    {-std::numeric_limits<double>::max(), nullptr, nullptr},
    // Two decimals round as printf does: exact ties to even, and 2.675 is just below its tie.
    {0.125, "0.12 bytes", "0.12 bytes"},
    {0.375, "0.38 bytes", "0.38 bytes"},
    {2.675, "2.67 bytes", "2.67 bytes"},
    {999.995, "1000 bytes", "1000 bytes"},
    {kInfinity, "inf YB", "inf YB"},
    {-kInfinity, "-inf bytes", "-inf bytes"},
    {std::numeric_limits<double>::quiet_NaN(), "nan bytes", "nan bytes"},
};

TEST(SizeText, DecimalScaleFromSnowLeopardOn) {
    ScopedSystemVersion version("13.5");
    for (const auto& c : kSizeCases) {
        if (c.decimal) {
            EXPECT_EQ(KXFoundationConvertBytesToStringValue(c.bytes), c.decimal) << c.bytes;
        }
    }
    EXPECT_EQ(KXFoundationConvertBytesToStringValue(std::nullopt), "0 bytes");
}

TEST(SizeText, BinaryScaleBeforeSnowLeopard) {
    ScopedSystemVersion version("10.5");
    for (const auto& c : kSizeCases) {
        if (c.binary) {
            EXPECT_EQ(KXFoundationConvertBytesToStringValue(c.bytes), c.binary) << c.bytes;
        }
    }
    EXPECT_EQ(KXFoundationConvertBytesToStringValue(std::nullopt), "0 bytes");
}

TEST(SizeText, TheLowestCountKeepsEveryDigit) {
    for (const char* running : {"13.5", "10.5"}) {
        ScopedSystemVersion version(running);
        const std::string text =
            KXFoundationConvertBytesToStringValue(-std::numeric_limits<double>::max());
        EXPECT_EQ(text.substr(0, 8), "-1797693");
        EXPECT_EQ(text.size(), 1 + 309 + 6) << text; // "-", 309 digits, " bytes"
        EXPECT_TRUE(text.ends_with("858368 bytes")) << text;
    }
}

TEST(MebibyteText, RoundsDownAndRewritesTheCount) {
    struct Case {
        double bytes;
        const char* text;
        double after;
    } cases[] = {
        {1073741824, "1024M", 1073741824},
        {1500000, "1M", 1048576},
        {1048575, "0M", 0},
        {1048576, "1M", 1048576},
        {0, "0M", 0},
        {-1, "-1M", -1048576},
        {-1048576, "-1M", -1048576},
        {-1048577, "-2M", -2097152},               // the floor goes towards negative infinity
        {1e30, "953674316406250018963456M", 1e30}, // every digit of the exact value
    };
    for (const auto& c : cases) {
        double bytes = c.bytes;
        EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(&bytes), c.text) << c.bytes;
        EXPECT_EQ(bytes, c.after) << c.bytes;
    }
}

TEST(MebibyteText, SameOnEverySystemVersion) {
    ScopedSystemVersion version("10.5");
    double bytes = 1500000;
    EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(&bytes), "1M");
    EXPECT_EQ(bytes, 1048576.0);
}

TEST(MebibyteText, NotANumberAndNullTerminate) {
    EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(nullptr), "0M");
    double infinite = kInfinity;
    EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(&infinite), "infM");
    EXPECT_EQ(infinite, kInfinity);
    double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(&nan), "nanM");
    EXPECT_TRUE(std::isnan(nan));
}

TEST(StringByRemovingSuffix, OnlyATrailingSuffix) {
    struct Case {
        const char* text;
        const char* suffix;
        const char* result;
    } cases[] = {
        {"1.00", ".00", "1"},       {"1.50", ".00", "1.50"},
        {"100.00", ".00", "100"},   {".00", ".00", ""},
        {"1.00.00", ".00", "1.00"}, {"1.0", ".00", "1.0"},
        {"abc", "", "abc"},         {"", ".00", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vz::stringByRemovingSuffix(c.text, c.suffix), c.result) << c.text;
}

} // namespace
