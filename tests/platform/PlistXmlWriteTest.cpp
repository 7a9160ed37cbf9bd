#include "PlistTestSupport.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace {

using namespace plisttest;

PlistValue everyKind() {
    const double inf = std::numeric_limits<double>::infinity();
    PlistValue::Data bytes;
    for (int i = 0; i < 200; ++i)
        bytes.push_back(static_cast<std::uint8_t>(i * 7));
    const double year0 = -63113904000.0 - 86400 * 366;
    return dict({
        {"String", "plain"},
        {"Escapes", "a & b < c > d \"q\" 'a' \t tab\nline \r return ]]> end"},
        {"Unicode", "Macintosh HD \xE2\x80\x94 \xF0\x9F\x98\x80"},
        {"Control", "bell\x07 escape\x1B"},
        {"Spaces", "   "},
        {"Key & <markup>", "value"},
        {"Integers", array({integer(-1), integer(std::numeric_limits<std::int64_t>::min()),
                            PlistValue::unsignedInteger(18446744073709551615ull)})},
        {"Reals", array({real(0.1), real(-2.5e-300), real(5e-324), real(-0.0), real(1.0 / 3.0),
                         real(inf), real(-inf), real(std::nan(""))})},
        {"Data", array({data({}), data({0}), data({0, 1}), data({0, 1, 2}), PlistValue(bytes)})},
        // Fractions on both sides of the reference date, the extremes, and years 0 and 12000.
        {"Dates", array({date(0.5), date(-0.25), date(-1e-9), date(1234.000001), date(-1234.56789),
                         date(-0.1), date(5e-324), date(-5e-324), date(4503599627370495.5),
                         date(-4503599627370495.5), date(-4611686018427387904.0),
                         date(4611686018427387904.0), date(-978307199.999999), date(year0),
                         date(315537897600.0)})},
        {"Empty array", PlistValue::array()},
        {"Nested", dict({{"a", array({dict({{"b", array({PlistValue::dictionary()})}})})}})},
    });
}

TEST(PlistXmlWrite, RoundTripsEveryKind) {
    const PlistValue tree = everyKind();
    const std::string text = tree.xml();
    const PlistValue back = PlistValue::parse(text);
    EXPECT_EQ(back, tree) << text;
    EXPECT_EQ(back.xml(), text); // the written form is stable
}

TEST(PlistXmlWrite, ExactForm) {
    const PlistValue tree = dict({
        {"Name", "A & B <c>"},
        {"Count", integer(-3)},
        {"Ratio", real(0.5)},
        {"On", PlistValue(true)},
        {"Bytes", data({0, 1, 2, 3})},
        {"When", date(0)},
        {"List", array({"x", PlistValue::array(), PlistValue::dictionary()})},
    });
    EXPECT_EQ(tree.xml(), document("<dict>\n"
                                   "\t<key>Bytes</key>\n\t<data>\n\tAAECAw==\n\t</data>\n"
                                   "\t<key>Count</key>\n\t<integer>-3</integer>\n"
                                   "\t<key>List</key>\n\t<array>\n\t\t<string>x</string>\n"
                                   "\t\t<array/>\n\t\t<dict/>\n\t</array>\n"
                                   "\t<key>Name</key>\n\t<string>A &amp; B &lt;c&gt;</string>\n"
                                   "\t<key>On</key>\n\t<true/>\n"
                                   "\t<key>Ratio</key>\n\t<real>0.5</real>\n"
                                   "\t<key>When</key>\n\t<date>2001-01-01T00:00:00Z</date>\n"
                                   "</dict>"));
}

TEST(PlistXmlWrite, Scalars) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        PlistValue value;
        const char* element;
    } cases[] = {
        {"", "<string></string>"},
        {integer(std::numeric_limits<std::int64_t>::min()),
         "<integer>-9223372036854775808</integer>"},
        {PlistValue::unsignedInteger(18446744073709551615ull),
         "<integer>18446744073709551615</integer>"},
        {real(1e300), "<real>1e+300</real>"},
        {real(2.0), "<real>2</real>"},
        {real(std::nan("")), "<real>nan</real>"},
        {real(-inf), "<real>-inf</real>"},
        {PlistValue(false), "<false/>"},
        {data({}), "<data></data>"},
        {date(1169176448), "<date>2038-01-19T03:14:08Z</date>"},
        {date(-0.5), "<date>2000-12-31T23:59:59.5Z</date>"},
        {date(-63113904000.0 - 86400 * 366), "<date>0000-01-01T00:00:00Z</date>"}, // leap
        {date(-63113904000.0 - 86400 * (366 + 365)), "<date>-0001-01-01T00:00:00Z</date>"},
        {date(315537897600.0), "<date>+12000-01-01T00:00:00Z</date>"},
        {"\r\x01", "<string>&#13;&#x1;</string>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value.xml(), document(c.element));
    EXPECT_EQ(PlistValue().xml(), "");
}

TEST(PlistXmlWrite, DataLinesOf76) {
    // 120 bytes 0xAB are 40 times "q6ur": lines of 76, 76 and 8 characters.
    std::string line;
    for (int i = 0; i < 19; ++i)
        line += "q6ur";
    EXPECT_EQ(PlistValue(PlistValue::Data(120, 0xAB)).xml(),
              document("<data>\n" + line + "\n" + line + "\nq6urq6ur\n</data>"));
}

TEST(PlistXmlWrite, AbsentMembersLeftOut) {
    PlistValue list = PlistValue::array();
    list.append("a");
    list.append(PlistValue());
    list.append("b");
    const PlistValue back = PlistValue::parse(list.xml());
    EXPECT_EQ(back, array({"a", "b"}));
    // A NUL byte cannot be written in XML; it is left out and the rest kept.
    EXPECT_TRUE(PlistValue::parse(PlistValue(std::string("a\0b", 3)).xml()).isEqualToString("ab"));
}

TEST(PlistXmlWrite, DeepTreesAreWrittenWithoutRecursion) {
    // Deeper than kMaxDepth: written (the reader then refuses it), and nothing recurses.
    PlistValue deep("bottom");
    for (int i = 0; i < 2000; ++i) {
        PlistValue outer = PlistValue::array();
        outer.append(std::move(deep));
        deep = std::move(outer);
    }
    const std::string text = deep.xml();
    EXPECT_NE(text.find(std::string(2000, '\t') + "<string>bottom</string>"), std::string::npos);
    EXPECT_TRUE(PlistValue::parse(text).isAbsent());
    EXPECT_NE(deep.description().find("bottom"), std::string::npos);
}

TEST(PlistDescription, NestedContainers) {
    const PlistValue tree = dict({{"List", array({dict({{"Roles", array({"System", "Data"})}}),
                                                  PlistValue::array(), PlistValue::dictionary()})},
                                  {"Count", integer(2)}});
    EXPECT_EQ(tree.description(), "{\n"
                                  "    Count = 2;\n"
                                  "    List = (\n"
                                  "        {\n"
                                  "            Roles = (\n"
                                  "                System,\n"
                                  "                Data\n"
                                  "            );\n"
                                  "        },\n"
                                  "        (\n"
                                  "        ),\n"
                                  "        {\n"
                                  "        }\n"
                                  "    );\n"
                                  "}");
}

TEST(PlistDescription, Scalars) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        PlistValue value;
        const char* text;
    } cases[] = {
        {"$HOME_dir1", "$HOME_dir1"},
        {"", "\"\""},
        {"13.5", "\"13.5\""},
        {"/usr/bin", "\"/usr/bin\""},
        {"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
        {"a\nb\tc\rd\x01", "\"a\\nb\\tc\\rd\\U0001\""},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
        {integer(-42), "-42"},
        {PlistValue::unsignedInteger(18446744073709551615ull), "18446744073709551615"},
        {real(-inf), "-inf"},
        {real(std::nan("")), "nan"},
        {PlistValue(true), "1"},
        {PlistValue(false), "0"},
        {data({}), "<>"},
        {data({0xde, 0xad, 0xbe, 0xef, 1, 2}), "<deadbeef 0102>"},
        {date(-978307199.5), "\"1970-01-01 00:00:00 +0000\""},
        {date(31525372800.0), "\"3000-01-01 00:00:00 +0000\""},
        {PlistValue(), "(null)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.value.description(), c.text);

    PlistValue::Data bytes(40);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(PlistValue(bytes).description(),
              "{length = 40, bytes = 0x00010203 04050607 08090a0b 0c0d0e0f ... "
              "20212223 24252627}");
    EXPECT_EQ(dict({{"a b", "x"}, {"k", PlistValue::array()}}).description(),
              "{\n    \"a b\" = x;\n    k = (\n    );\n}");
}

} // namespace
