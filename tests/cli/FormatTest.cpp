#include "cli/Format.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <memory>

namespace {

using vivozi::Table;

TEST(CliTable, AlignsColumnsByDisplayWidth) {
    Table table({{"SET"}, {"SIZE", Table::Align::Right}, {"STATUS"}});
    table.addRow({"daily", "1.54 KB", "10:01:02\u202FPM"});
    table.addRow({"fails-on-purpose", "0 bytes"}); // a missing cell prints empty
    table.addRow({"x", "12", "ok", "dropped"});
    // The narrow no-break space is one column: the header lines up with the time above it.
    EXPECT_EQ(table.render("> "), "> SET                  SIZE  STATUS\n"
                                  "> daily             1.54 KB  10:01:02\u202FPM\n"
                                  "> fails-on-purpose  0 bytes\n"
                                  "> x                      12  ok\n");
}

TEST(CliTable, WidthAndTruncationCountCodePoints) {
    struct Case {
        std::string text;
        std::size_t width;
        std::size_t cutTo;
        std::string cut;
    };
    const Case cases[] = {
        {"", 0, 3, ""},
        {"abc", 3, 2, "ab"},
        {"\u00e9t\u00e9", 3, 2, "\u00e9t"},         // two-byte letters
        {"a\u202Fb", 3, 2, "a\u202F"},              // three-byte space kept whole
        {"\U0001F600x", 2, 1, "\U0001F600"},        // four bytes
        {std::string("\xff\xfe", 2), 2, 1, "\xff"}, // invalid bytes: one column each
        {std::string("\xe2\x80", 2), 2, 1, "\xe2"}, // a sequence cut short
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vivozi::displayWidth(c.text), c.width) << c.text;
        EXPECT_EQ(vivozi::truncateToWidth(c.text, c.cutTo), c.cut) << c.text;
    }
}

TEST(CliProgressBar, FillsInProportionAndNeverWraps) {
    struct Case {
        float fraction;
        std::size_t columns;
        std::string expected;
    };
    const Case cases[] = {
        // 26 columns of text, two spare, the rest (here 11) for the bar.
        {0.0f, 40, "[...........]    0%  0/3  running daily"},
        {0.5f, 40, "[#####......]   50%  1/3  running daily"},
        {1.7f, 40, "[###########]  100%  1/3  running daily"}, // clamped
        {-1.0f, 40, "[...........]    0%  0/3  running daily"},
        // Never wider than 40, never narrower than 10; a narrow terminal cuts the text.
        {0.5f, 200, "[####################....................]   50%  1/3  running daily"},
        {0.5f, 20, "[#####.....]   50% "},
    };
    for (const Case& c : cases) {
        const std::size_t finished = c.fraction <= 0.0f ? 0 : 1;
        const std::string line =
            vivozi::progressBarLine({c.fraction, finished, 3, "running daily"}, c.columns);
        EXPECT_EQ(line, c.expected) << c.fraction << " at " << c.columns;
        EXPECT_LT(vivozi::displayWidth(line), c.columns);
    }
}

TEST(CliJson, PropertyListsOfEveryKind) {
    using Data = PlistValue::Data;
    using Date = PlistValue::Date;
    const std::pair<PlistValue, const char*> cases[] = {
        {PlistValue(), "null"},
        {PlistValue(std::int64_t{-3}), "-3"},
        {PlistValue::unsignedInteger(18446744073709551615ull), "18446744073709551615"},
        {PlistValue(0.5), "0.5"},
        {PlistValue(true), "true"},
        {PlistValue(Data{}), R"("")"},
        {PlistValue(Data{'f'}), R"("Zg==")"},
        {PlistValue(Data{'f', 'o'}), R"("Zm8=")"},
        {PlistValue(Data{'M', 'a', 'n'}), R"("TWFu")"},
        {PlistValue(Data{0xff, 0xfe, 0xfd}), R"("//79")"},
        {PlistValue(Date{86400.5}), R"("2001-01-02T00:00:00Z")"},
        {PlistValue(Date{-0.5}), R"("2000-12-31T23:59:59Z")"}, // fractions go down, not to zero
        {PlistValue(Date{1e300}), R"("")"},
        {PlistValue(PlistValue::Array{"a", PlistValue::dictionary()}), R"(["a", {}])"},
        {PlistValue(PlistValue::Dictionary{{"name", "disk1"}}), R"({"name": "disk1"})"},
    };
    for (const auto& [value, json] : cases)
        EXPECT_EQ(vivozi::plistToJson(value), vivozi::Json::parse(json)) << json;
    // Text that is not UTF-8 is replaced rather than thrown on.
    EXPECT_EQ(vivozi::dumpJson(vivozi::Json(std::string("a\xff"))), "\"a\uFFFD\"");
}

TEST(CliArguments, ByteCounts) {
    const std::pair<std::string, std::optional<double>> cases[] = {
        {"1536", 1536.0},     {"2.5e9", 2.5e9},       {"-1", -1.0},          {"0.5", 0.5},
        {"", std::nullopt},   {"12kB", std::nullopt}, {" 1", std::nullopt},  {"1 ", std::nullopt},
        {"+1", std::nullopt}, {"inf", std::nullopt},  {"nan", std::nullopt},
    };
    for (const auto& [text, count] : cases)
        EXPECT_EQ(vivozi::parseByteCount(text), count) << '"' << text << '"';
}

// The quoted text goes through a real shell and must come back unchanged.
TEST(CliShellQuote, SurvivesTheShell) {
    for (const std::string text :
         {"with space", "it's", "''", "$HOME `id` \"q\"", "back\\slash", "new\nline", "*?[a]"}) {
        const std::string command = "printf %s " + vivozi::shellQuote(text);
        const std::unique_ptr<FILE, int (*)(FILE*)> shell(popen(command.c_str(), "r"), pclose);
        ASSERT_TRUE(shell);
        std::string echoed;
        char buffer[256];
        while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, shell.get()))
            echoed.append(buffer, got);
        EXPECT_EQ(echoed, text);
    }
}

} // namespace
