#include "runner/ProgressText.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgressText, PercentageIsTheSinglePrecisionProductRoundedHalfToEven) {
    const std::pair<float, const char*> cases[] = {
        {0.0f, "0"},          {1.0f / 3.0f, "33"}, {2.0f / 3.0f, "67"},
        {1.0f, "100"},        {1.0f / 8.0f, "12"}, // 12.5 -> 12
        {3.0f / 8.0f, "38"},                       // 37.5 -> 38
        {1.0f / 40.0f, "2"},  // exactly 2.5f; 3 if the product were taken in double precision
        {7.0f / 40.0f, "18"}, // exactly 17.5f; 17 in double precision
    };
    for (const auto& [fraction, percent] : cases)
        EXPECT_EQ(vz::progressText(fraction, PlistValue("Friday"), PlistValue("daily")),
                  std::string(percent) + "|Friday|daily")
            << fraction;
}

TEST(ProgressText, FieldsAreJoinedUnchanged) {
    const struct {
        PlistValue status;
        PlistValue name;
        const char* text;
    } cases[] = {
        {"a|b", "c|d", "50|a|b|c|d"},
        {PlistValue(), PlistValue(), "50|(null)|(null)"},
        {"", "", "50||"},
        {"Error running daily scripts", std::int64_t{5}, "50|Error running daily scripts|5"},
        {std::int64_t{-7}, 2.5, "50|-7|2.5"},
        {true, false, "50|1|0"},
        {PlistValue::array(), PlistValue::dictionary(), "50|(null)|(null)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vz::progressText(0.5f, c.status, c.name), c.text);
}

} // namespace
