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
        {"abc", 3, 10, "abc"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(vivozi::displayWidth(c.text), c.width) << c.text;
        EXPECT_EQ(vivozi::truncateToWidth(c.text, c.cutTo), c.cut) << c.text;
    }
}

TEST(CliProgressNotice, SplitsAtTheFirstAndLastBar) {
    struct Case {
        std::string object;
        std::optional<std::array<std::string, 3>> parts;
    };
    const Case cases[] = {
        {"33|Sunday, 6 December 2026|daily", {{"33", "Sunday, 6 December 2026", "daily"}}},
        {"100|Error running daily scripts|weekly",
         {{"100", "Error running daily scripts", "weekly"}}},
        {"0|a|b|c", {{"0", "a|b", "c"}}}, // a status holding a bar stays whole
        {"50||", {{"50", "", ""}}},
        {"(null)|(null)|(null)", {{"(null)", "(null)", "(null)"}}},
        {"50|only-one", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        const auto notice = vivozi::parseProgressObject(c.object);
        ASSERT_EQ(notice.has_value(), c.parts.has_value()) << c.object;
        if (notice) {
            EXPECT_EQ(notice->percent, (*c.parts)[0]);
            EXPECT_EQ(notice->status, (*c.parts)[1]);
            EXPECT_EQ(notice->name, (*c.parts)[2]);
        }
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
        {1.0f, 40, "[###########]  100%  1/3  running daily"},
        {1.7f, 40, "[###########]  100%  1/3  running daily"}, // clamped
        {-1.0f, 40, "[...........]    0%  0/3  running daily"},
        {0.25f, 53, "[######..................]   25%  1/3  running daily"},
        // Never wider than 40, never narrower than 10.
        {0.5f, 200, "[####################....................]   50%  1/3  running daily"},
        // A narrow terminal cuts the text rather than let the line wrap.
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
    PlistValue dictionary = PlistValue::dictionary();
    dictionary.setValueForKey("name", "disk1");
    dictionary.setValueForKey("count", std::int64_t{-3});
    dictionary.setValueForKey("huge", PlistValue::unsignedInteger(18446744073709551615ull));
    dictionary.setValueForKey("ratio", 0.5);
    dictionary.setValueForKey("ok", true);
    dictionary.setValueForKey("bytes", PlistValue(PlistValue::Data{'M', 'a', 'n'}));
    dictionary.setValueForKey("when", PlistValue(PlistValue::Date{86400.5}));
    PlistValue list = PlistValue::array();
    list.append("a");
    list.append(PlistValue::dictionary());
    dictionary.setValueForKey("list", list);

    const vivozi::Json json = vivozi::plistToJson(dictionary);
    EXPECT_EQ(json["name"], "disk1");
    EXPECT_EQ(json["count"].get<std::int64_t>(), -3);
    EXPECT_EQ(json["huge"].get<std::uint64_t>(), 18446744073709551615ull);
    EXPECT_EQ(json["ratio"].get<double>(), 0.5);
    EXPECT_EQ(json["ok"], true);
    EXPECT_EQ(json["bytes"], "TWFu");
    EXPECT_EQ(json["when"], "2001-01-02T00:00:00Z");
    EXPECT_EQ(json["list"], vivozi::Json::parse(R"(["a", {}])"));
    EXPECT_TRUE(vivozi::plistToJson(PlistValue()).is_null());
}

TEST(CliJson, DataAsBase64WithPadding) {
    struct Case {
        std::string bytes;
        std::string text;
    };
    const Case cases[] = {{"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
                          {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"\xff\xfe\xfd", "//79"}};
    for (const Case& c : cases) {
        const PlistValue data(PlistValue::Data(c.bytes.begin(), c.bytes.end()));
        EXPECT_EQ(vivozi::plistToJson(data), c.text) << c.bytes;
    }
}

TEST(CliJson, DatesAndInvalidText) {
    EXPECT_EQ(vivozi::isoDateFromReferenceSeconds(0.0), "2001-01-01T00:00:00Z");
    EXPECT_EQ(vivozi::isoDateFromReferenceSeconds(-0.5), "2000-12-31T23:59:59Z");
    EXPECT_EQ(vivozi::isoDateFromReferenceSeconds(1e300), "");
    // Text that is not UTF-8 is replaced rather than thrown on.
    EXPECT_NO_THROW(vivozi::dumpJson(vivozi::Json(std::string("a\xff"))));
}

TEST(CliArguments, ByteCounts) {
    struct Case {
        std::string text;
        std::optional<double> count;
    };
    const Case cases[] = {
        {"1536", 1536.0},     {"0", 0.0},           {"2.5e9", 2.5e9},      {"-1", -1.0},
        {"0.5", 0.5},         {"", std::nullopt},   {"abc", std::nullopt}, {"12kB", std::nullopt},
        {" 1", std::nullopt}, {"1 ", std::nullopt}, {"inf", std::nullopt}, {"nan", std::nullopt},
        {"+1", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(vivozi::parseByteCount(c.text), c.count) << '"' << c.text << '"';
}

// The quoted text goes through a real shell and must come back unchanged.
TEST(CliShellQuote, SurvivesTheShell) {
    const std::string texts[] = {"plain",       "with space", "it's", "'", "''", "$HOME `id` \"q\"",
                                 "back\\slash", "new\nline",  "*?[a]"};
    for (const std::string& text : texts) {
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
