#include "support/SystemVersion.h"

#include <VivoziZevidodirid/Volumes.h>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace {

using vztest::ScopedSystemVersion;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

TEST(SizeText, StepsOf1000FromSnowLeopardOnAnd1024Before) {
    struct Case {
        std::optional<double> bytes;
        const char* decimal; // 10.6 and later
        const char* binary;  // before 10.6
    } cases[] = {
        {std::nullopt, "0 bytes", "0 bytes"},
        {1000, "1000 bytes", "1000 bytes"},
        {1001, "1 KB", "1001 bytes"},
        {1024, "1.02 KB", "1024 bytes"},
        {1536, "1.54 KB", "1.50 KB"},
        {999999, "1000 KB", "976.56 KB"},  // 999.999 rounds to 1000.00
        {1000000, "1000 KB", "976.56 KB"}, // one step leaves exactly 1000, not above
        {1048576, "1.05 MB", "1024 KB"},
        {5000000000, "5 GB", "4.66 GB"},
        {-5, "-5 bytes", "-5 bytes"},
        {1e24, "1000 ZB", "847.03 ZB"},
        {5e27, "5 YB", "4.04 YB"}, // past the last unit the steps go on
        {kMax, "179.77 YB", "16 YB"},
        // Two decimals round as printf does: exact ties to even, and 2.675 is just below its tie.
        {0.125, "0.12 bytes", "0.12 bytes"},
        {0.375, "0.38 bytes", "0.38 bytes"},
        {2.675, "2.67 bytes", "2.67 bytes"},
        {999.995, "1000 bytes", "1000 bytes"},
        {kInfinity, "inf YB", "inf YB"},
        {-kInfinity, "-inf bytes", "-inf bytes"},
        {std::numeric_limits<double>::quiet_NaN(), "nan bytes", "nan bytes"},
    };
    for (const bool decimal : {true, false}) {
        ScopedSystemVersion version(decimal ? "10.6" : "10.5.8");
        for (const auto& c : cases)
            EXPECT_EQ(KXFoundationConvertBytesToStringValue(c.bytes),
                      decimal ? c.decimal : c.binary)
                << c.bytes.value_or(0) << (decimal ? " decimal" : " binary");
        // Not above the threshold, so unscaled: every one of the 309 digits is kept.
        const std::string lowest = KXFoundationConvertBytesToStringValue(-kMax);
        EXPECT_TRUE(lowest.starts_with("-1797693")) << lowest;
        EXPECT_TRUE(lowest.ends_with("858368 bytes")) << lowest;
        EXPECT_EQ(lowest.size(), 1 + 309 + 6) << lowest;
    }
}

TEST(MebibyteText, RoundsDownAndRewritesTheCountOnEverySystem) {
    struct Case {
        double bytes;
        const char* text;
        double after;
    } cases[] = {
        {1073741824, "1024M", 1073741824},
        {1500000, "1M", 1048576},
        {1048575, "0M", 0},
        {0, "0M", 0},
        {-1, "-1M", -1048576},
        {-1048577, "-2M", -2097152},               // the floor goes towards negative infinity
        {1e30, "953674316406250018963456M", 1e30}, // every digit of the exact value
        {kInfinity, "infM", kInfinity},
    };
    for (const char* running : {"13.5", "10.5"}) {
        ScopedSystemVersion version(running);
        for (const auto& c : cases) {
            double bytes = c.bytes;
            EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(&bytes), c.text) << c.bytes;
            EXPECT_EQ(bytes, c.after) << c.bytes;
        }
    }
    double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(&nan), "nanM");
    EXPECT_TRUE(std::isnan(nan));
    EXPECT_EQ(KXFoundationRoundByteCountToMBAndString(nullptr), "0M");
}

} // namespace
