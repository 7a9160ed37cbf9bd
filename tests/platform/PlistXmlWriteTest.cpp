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
    return dict({
        {"String", "plain"},
        {"Escapes", "a & b < c > d \"q\" 'a' \t tab\nline \r return ]]> end"},
        {"Unicode", "Macintosh HD \xE2\x80\x94 \xF0\x9F\x98\x80"},
        {"Control", "bell\x07 escape\x1B"},
        {"Empty string", ""},
        {"Spaces", "   "},
        {"Key & <markup>", "value"},
        {"Integers", array({integer(0), integer(-1), integer(42),
                            integer(std::numeric_limits<std::int64_t>::min()),
                            integer(std::numeric_limits<std::int64_t>::max()),
                            PlistValue::unsignedInteger(9223372036854775808ull),
                            PlistValue::unsignedInteger(18446744073709551615ull)})},
        {"Reals",
         array({real(0.1), real(-2.5e-300), real(1e300), real(5e-324), real(-0.0), real(1.0 / 3.0),
                real(123456789.125), real(inf), real(-inf), real(std::nan(""))})},
        {"Booleans", array({PlistValue(true), PlistValue(false)})},
        {"Data", array({data({}), data({0}), data({0, 1}), data({0, 1, 2}), PlistValue(bytes)})},
        {"Dates", array({date(0),
                         date(-978307200),
                         date(-3187296000.0),
                         date(1169176448),
                         date(31525372800.0),
                         date(252423993599.0),
                         date(0.5),
                         date(-0.25),
                         date(-1e-9),
                         date(1234.000001),
                         date(-63113904000.0),
                         date(-63113904000.0 - 86400 * 366),
                         date(315537897600.0),
                         date(-1e15),
                         date(-1e-300),
                         date(-5e-324),
                         date(5e-324),
                         date(-0.1),
                         date(0.1),
                         date(-1234.56789),
                         date(4503599627370495.5),
                         date(-4503599627370495.5),
                         date(-4611686018427387904.0),
                         date(4611686018427387904.0),
                         date(-978307199.999999)})},
        {"Empty array", PlistValue::array()},
        {"Empty dictionary", PlistValue::dictionary()},
        {"Nested", dict({{"a", array({dict({{"b", array({PlistValue::array()})}})})}})},
    });
}

TEST(PlistXmlWrite, RoundTripsEveryKind) {
    const PlistValue tree = everyKind();
    const std::string text = tree.xml();
    const PlistValue back = PlistValue::parse(text);
    ASSERT_FALSE(back.isAbsent()) << text;
    EXPECT_EQ(back, tree) << text;
    // And again: the written form is stable.
    EXPECT_EQ(back.xml(), text);

    // Each element alone, as the root.
    for (const auto& [key, value] : *tree.dictionaryEntries()) {
        SCOPED_TRACE(key);
        EXPECT_EQ(PlistValue::parse(value.xml()), value) << value.xml();
        if (const auto* elements = value.arrayElements()) {
            for (const auto& element : *elements) {
                EXPECT_EQ(PlistValue::parse(element.xml()), element) << element.xml();
            }
        }
    }
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
    const std::string expected = std::string(kPrologue) + "<plist version=\"1.0\">\n"
                                                          "<dict>\n"
                                                          "\t<key>Bytes</key>\n"
                                                          "\t<data>\n"
                                                          "\tAAECAw==\n"
                                                          "\t</data>\n"
                                                          "\t<key>Count</key>\n"
                                                          "\t<integer>-3</integer>\n"
                                                          "\t<key>List</key>\n"
                                                          "\t<array>\n"
                                                          "\t\t<string>x</string>\n"
                                                          "\t\t<array/>\n"
                                                          "\t\t<dict/>\n"
                                                          "\t</array>\n"
                                                          "\t<key>Name</key>\n"
                                                          "\t<string>A &amp; B &lt;c&gt;</string>\n"
                                                          "\t<key>On</key>\n"
                                                          "\t<true/>\n"
                                                          "\t<key>Ratio</key>\n"
                                                          "\t<real>0.5</real>\n"
                                                          "\t<key>When</key>\n"
                                                          "\t<date>2001-01-01T00:00:00Z</date>\n"
                                                          "</dict>\n"
                                                          "</plist>\n";
    EXPECT_EQ(tree.xml(), expected);
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
        {real(0.1), "<real>0.1</real>"},
        {real(1e300), "<real>1e+300</real>"},
        {real(2.0), "<real>2</real>"},
        {real(std::nan("")), "<real>nan</real>"},
        {real(inf), "<real>inf</real>"},
        {real(-inf), "<real>-inf</real>"},
        {PlistValue(false), "<false/>"},
        {data({}), "<data></data>"},
        {date(-978307200), "<date>1970-01-01T00:00:00Z</date>"},
        {date(1169176448), "<date>2038-01-19T03:14:08Z</date>"},
        {date(-0.5), "<date>2000-12-31T23:59:59.5Z</date>"},
        {date(-63113904000.0 - 86400 * 366), "<date>0000-01-01T00:00:00Z</date>"}, // leap
        {date(-63113904000.0 - 86400 * (366 + 365)), "<date>-0001-01-01T00:00:00Z</date>"},
        {date(315537897600.0), "<date>+12000-01-01T00:00:00Z</date>"},
        {"\r\x01", "<string>&#13;&#x1;</string>"},
    };
    for (const auto& c : cases) {
        const std::string expected =
            std::string(kPrologue) + "<plist version=\"1.0\">\n" + c.element + "\n</plist>\n";
        EXPECT_EQ(c.value.xml(), expected);
    }
    EXPECT_EQ(PlistValue().xml(), "");
}

TEST(PlistXmlWrite, DataLinesOf76) {
    PlistValue::Data bytes(120, 0xAB);
    const std::string text = PlistValue(bytes).xml();
    // 120 bytes are 160 characters: lines of 76, 76 and 8.
    const std::size_t open = text.find("<data>\n") + 7;
    const std::size_t firstEnd = text.find('\n', open);
    EXPECT_EQ(firstEnd - open, 76u);
    const std::size_t secondEnd = text.find('\n', firstEnd + 1);
    EXPECT_EQ(secondEnd - firstEnd - 1, 76u);
    EXPECT_EQ(PlistValue::parse(text), PlistValue(bytes));
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
    EXPECT_FALSE(deep.description().empty());

    PlistValue ok("bottom");
    for (std::size_t i = 0; i < PlistValue::kMaxDepth; ++i) {
        PlistValue outer = PlistValue::dictionary();
        outer.setValueForKey("k", std::move(ok));
        ok = std::move(outer);
    }
    EXPECT_EQ(PlistValue::parse(ok.xml()), ok);
}

TEST(PlistDescription, LogLineForm) {
    const PlistValue version = dict({
        {"ProductName", "macOS"},
        {"ProductVersion", "13.5"},
        {"BuildVersion", "22G74"},
    });
    EXPECT_EQ(version.description(), "{\n"
                                     "    BuildVersion = 22G74;\n"
                                     "    ProductName = macOS;\n"
                                     "    ProductVersion = \"13.5\";\n"
                                     "}");
}

TEST(PlistDescription, NestedContainers) {
    const PlistValue tree = dict({
        {"Containers", array({dict({{"ContainerReference", "disk3"},
                                    {"Volumes", array({dict({{"Roles", array({"System", "Data"})}}),
                                                       PlistValue::dictionary()})}}),
                              PlistValue::array()})},
        {"Count", integer(2)},
        {"Empty", PlistValue::dictionary()},
    });
    EXPECT_EQ(tree.description(), "{\n"
                                  "    Containers = (\n"
                                  "        {\n"
                                  "            ContainerReference = disk3;\n"
                                  "            Volumes = (\n"
                                  "                {\n"
                                  "                    Roles = (\n"
                                  "                        System,\n"
                                  "                        Data\n"
                                  "                    );\n"
                                  "                },\n"
                                  "                {\n"
                                  "                }\n"
                                  "            );\n"
                                  "        },\n"
                                  "        (\n"
                                  "        )\n"
                                  "    );\n"
                                  "    Count = 2;\n"
                                  "    Empty = {\n"
                                  "    };\n"
                                  "}");
}

TEST(PlistDescription, Scalars) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        PlistValue value;
        const char* text;
    } cases[] = {
        {"disk1s1", "disk1s1"},
        {"$HOME_dir", "$HOME_dir"},
        {"", "\"\""},
        {"13.5", "\"13.5\""},
        {"/usr/bin", "\"/usr/bin\""},
        {"two words", "\"two words\""},
        {"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
        {"a\nb\tc\rd\x01", "\"a\\nb\\tc\\rd\\U0001\""},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
        {integer(-42), "-42"},
        {PlistValue::unsignedInteger(18446744073709551615ull), "18446744073709551615"},
        {real(0.1), "0.1"},
        {real(-inf), "-inf"},
        {real(std::nan("")), "nan"},
        {PlistValue(true), "1"},
        {PlistValue(false), "0"},
        {data({}), "<>"},
        {data({0xde, 0xad, 0xbe, 0xef, 1, 2}), "<deadbeef 0102>"},
        {date(0), "\"2001-01-01 00:00:00 +0000\""},
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
