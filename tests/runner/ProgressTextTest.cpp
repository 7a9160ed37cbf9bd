#include "runner/ProgressText.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgressText, PercentageIsTheSinglePrecisionProductRoundedHalfToEven) {
    const PlistValue status("Friday");
    const PlistValue name("daily");
    struct Case {
        float fraction;
        const char* percent;
    } cases[] = {
        {0.0f, "0"},
        {1.0f / 3.0f, "33"},
        {2.0f / 3.0f, "67"},
        {1.0f, "100"},
        {1.0f / 8.0f, "12"}, // 12.5 -> 12
        {3.0f / 8.0f, "38"}, // 37.5 -> 38
        {5.0f / 8.0f, "62"},
        {7.0f / 8.0f, "88"},
        {1.0f / 40.0f, "2"},  // exactly 2.5f; 3 if the
                              // product were taken in
                              // double precision
        {7.0f / 40.0f, "18"}, // exactly 17.5f; 17 in double precision
        {0.5f, "50"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fraction);
        EXPECT_EQ(vz::progressText(c.fraction, status, name),
                  std::string(c.percent) + "|Friday|daily");
    }
}

TEST(ProgressText, FieldsAreJoinedUnchanged) {
    struct Case {
        const char* what;
        PlistValue status;
        PlistValue name;
        const char* text;
    } cases[] = {
        {"bars pass through", "a|b", "c|d", "50|a|b|c|d"},
        {"missing status and name", PlistValue(), PlistValue(), "50|(null)|(null)"},
        {"empty texts", "", "", "50||"},
        {"integer name", "Error running daily scripts", std::int64_t{5},
         "50|Error running daily scripts|5"},
        {"negative and real", std::int64_t{-7}, 2.5, "50|-7|2.5"},
        {"boolean", true, false, "50|1|0"},
        {"container", PlistValue::array(), PlistValue::dictionary(), "50|(null)|(null)"},
        {"utf-8", "Freitag, 15. März", "täglich", "50|Freitag, 15. März|täglich"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(vz::progressText(0.5f, c.status, c.name), c.text);
    }
}

} // namespace
