#include "PlistTestSupport.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace plisttest;

struct ParseCase {
    const char* name;
    std::string body;    // the content of <plist>
    PlistValue expected; // absent: the parse must be absent
};

void runCases(const std::vector<ParseCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PlistValue::parse(document(c.body)), c.expected) << c.body;
    }
}

const PlistValue kAbsent;

TEST(PlistXmlParse, StringsBooleansAndData) {
    runCases({
        {"plain", "<string>disk1s1</string>", "disk1s1"},
        {"empty element", "<string/>", ""},
        {"spaces kept", "<string>  a  b  </string>", "  a  b  "},
        {"only a line feed", "<string>\n</string>", "\n"},
        {"crlf normalised", "<string>a\r\nb\rc</string>", "a\nb\nc"},
        {"carriage return by reference", "<string>a&#13;b</string>", "a\rb"},
        {"entities and character references",
         "<string>&amp;&lt;&gt;&quot;&apos;&#65;&#x263A;&#128512;</string>",
         "&<>\"'A\xE2\x98\xBA\xF0\x9F\x98\x80"},
        {"text, cdata and a comment", "<string>a<![CDATA[<b>]]><!-- c -->c</string>", "a<b>c"},
        {"element inside", "<string>a<b/>c</string>", kAbsent},
        {"true", "<true/>", PlistValue(true)},
        {"false with space", "<false> </false>", PlistValue(false)},
        {"text in true", "<true>yes</true>", kAbsent},
        {"element in false", "<false><true/></false>", kAbsent},
        {"padded", "<data>AAECAw==</data>", data({0, 1, 2, 3})},
        {"one pad", "<data>AAECAwQ=</data>", data({0, 1, 2, 3, 4})},
        {"padding left out", "<data>AAECAw</data>", data({0, 1, 2, 3})},
        {"line breaks and tabs", "<data>\n\tAAEC\n\tAwQF\r\n\tBg==\n\t</data>",
         data({0, 1, 2, 3, 4, 5, 6})},
        {"all symbols", "<data>+/+/</data>", data({0xFB, 0xFF, 0xBF})},
        {"empty data", "<data/>", data({})},
        {"pad short of a quantum", "<data>AAEC/w=</data>", kAbsent},
        {"three pads", "<data>AA===</data>", kAbsent},
        {"dangling character", "<data>AAECA</data>", kAbsent},
        {"pad in the middle", "<data>AA==AAAA</data>", kAbsent},
        {"url-safe alphabet", "<data>AA-_</data>", kAbsent},
    });
}

TEST(PlistXmlParse, Numbers) {
    const double inf = std::numeric_limits<double>::infinity();
    runCases({
        {"negative", "<integer>-1</integer>", integer(-1)},
        {"plus sign", "<integer>+5</integer>", integer(5)},
        {"white space around", "<integer> \n 42\t</integer>", integer(42)},
        {"hexadecimal", "<integer>0x1F</integer>", integer(31)},
        {"negative hexadecimal", "<integer>-0x10</integer>", integer(-16)},
        {"INT64_MAX", "<integer>9223372036854775807</integer>",
         integer(std::numeric_limits<std::int64_t>::max())},
        {"INT64_MIN", "<integer>-9223372036854775808</integer>",
         integer(std::numeric_limits<std::int64_t>::min())},
        {"2^64-1 unsigned", "<integer>18446744073709551615</integer>",
         PlistValue::unsignedInteger(18446744073709551615ull)},
        {"2^64 out of range", "<integer>18446744073709551616</integer>", kAbsent},
        {"below INT64_MIN", "<integer>-9223372036854775809</integer>", kAbsent},
        {"hex above 2^64", "<integer>0x10000000000000000</integer>", kAbsent},
        {"empty", "<integer/>", kAbsent},
        {"fraction", "<integer>1.5</integer>", kAbsent},
        {"real", "<real>-2.5e10</real>", real(-2.5e10)},
        {"real, white space and plus", "<real> +0.25\n</real>", real(0.25)},
        {"subnormal", "<real>5e-324</real>", real(5e-324)},
        {"nan", "<real>NaN</real>", real(std::nan(""))},
        {"-Infinity", "<real>-Infinity</real>", real(-inf)},
        {"overflow is infinite", "<real>1e400</real>", real(inf)},
        {"underflow is zero", "<real>1e-400</real>", real(0.0)},
        {"empty real", "<real></real>", kAbsent},
        {"two points", "<real>1.2.3</real>", kAbsent},
        {"plus minus", "<real>+-1</real>", kAbsent},
    });
}

TEST(PlistXmlParse, Dates) {
    runCases({
        {"reference date", "<date>2001-01-01T00:00:00Z</date>", date(0)},
        {"year 1", "<date>0001-01-01T00:00:00Z</date>", date(-63113904000.0)},
        {"1600 after leap day", "<date>1600-03-01T00:00:00Z</date>", date(-12649219200.0)},
        {"9999", "<date>9999-12-31T23:59:59Z</date>", date(252423993599.0)},
        {"leap day", "<date>2024-02-29T00:00:00Z</date>", date(730857600)},
        {"white space around", "<date>\n 2001-01-01T00:00:00Z \n</date>", date(0)},
        {"fraction", "<date>2001-01-01T00:00:00.25Z</date>", date(0.25)},
        {"fraction before 2001", "<date>2000-12-31T23:59:59.5Z</date>", date(-0.5)},
        {"extended year", "<date>+12000-01-01T00:00:00Z</date>", date(315537897600.0)},
        {"1900 not a leap year", "<date>1900-02-29T00:00:00Z</date>", kAbsent},
        {"month 13", "<date>2023-13-01T00:00:00Z</date>", kAbsent},
        {"second 60", "<date>2023-01-01T00:00:60Z</date>", kAbsent},
        {"space for T", "<date>2023-01-01 00:00:00Z</date>", kAbsent},
        {"offset", "<date>2023-01-01T00:00:00+01:00</date>", kAbsent},
        {"five digits unsigned", "<date>12000-01-01T00:00:00Z</date>", kAbsent},
        {"one-digit month", "<date>2023-1-01T00:00:00Z</date>", kAbsent},
        {"empty fraction", "<date>2023-01-01T00:00:00.Z</date>", kAbsent},
    });
}

TEST(PlistXmlParse, Containers) {
    runCases({
        {"dictionary with white space, comments and a later duplicate key",
         "<dict>\n\t<key>b</key><!-- c -->\n\t<integer>2</integer>\n\t<key>a</key>\n\t"
         "<string>x</string>\n\t<key>b</key><true/>\n</dict>",
         dict({{"a", "x"}, {"b", PlistValue(true)}})},
        {"empty dictionary with space", "<dict>\n\t</dict>", PlistValue::dictionary()},
        {"empty key", "<dict><key/><true/></dict>", dict({{"", PlistValue(true)}})},
        {"key with entities and cdata",
         "<dict><key>a&amp;b <![CDATA[<c>]]></key><string>&quot;v&quot;</string></dict>",
         dict({{"a&b <c>", "\"v\""}})},
        {"array", "<array>\n\t<string>a</string>\n\t<integer>1</integer>\n\t<true/>\n</array>",
         array({"a", integer(1), PlistValue(true)})},
        {"nested",
         "<dict><key>a</key><array><dict><key>b</key><array><array/></array></dict></array>"
         "</dict>",
         dict({{"a", array({dict({{"b", array({PlistValue::array()})}})})}})},
        {"key without value", "<dict><key>a</key><true/><key>b</key></dict>", kAbsent},
        {"two keys in a row", "<dict><key>a</key><key>b</key><true/></dict>", kAbsent},
        {"value first", "<dict><true/><key>a</key></dict>", kAbsent},
        {"text in a dictionary", "<dict>text<key>a</key><true/></dict>", kAbsent},
        {"cdata text in an array", "<array><![CDATA[x]]></array>", kAbsent},
        {"element in a key", "<dict><key>a<b/></key><true/></dict>", kAbsent},
        {"key outside a dictionary", "<array><key>a</key></array>", kAbsent},
        {"unknown element in a dictionary", "<dict><key>a</key><foo/></dict>", kAbsent},
        {"malformed value deep inside",
         "<dict><key>a</key><array><dict><key>b</key><integer>x</integer></dict></array></dict>",
         kAbsent},
    });
}

TEST(PlistXmlParse, DocumentShapes) {
    const std::string value = "<string>v</string>";
    const std::string plist = "<plist>" + value + "</plist>";
    // UTF-16LE with its byte-order mark; the Latin-1 byte E9 widens to U+00E9.
    std::string utf16 = "\xFF\xFE";
    for (const char c : "<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist><string>\xE9</string>"
                        "</plist>")
        utf16 += {c, '\0'};
    utf16.resize(utf16.size() - 2); // the literal's own NUL
    const struct {
        const char* name;
        std::string text;
        PlistValue expected;
    } cases[] = {
        {"full document", document(value), "v"},
        {"utf-8 byte-order mark", "\xEF\xBB\xBF" + plist, "v"},
        {"white space and a comment around", "\n\n  " + plist + "<!-- end -->\n\n", "v"},
        {"utf-16", utf16, "\xC3\xA9"},
        {"empty input", "", kAbsent},
        {"empty plist", document(""), kAbsent},
        {"two values", document(value + value), kAbsent},
        {"text beside the value", document(value + "junk"), kAbsent},
        {"root not plist", std::string(kPrologue) + "<dict/>", kAbsent},
        {"two plist roots", plist + plist, kAbsent},
        {"garbage before", "junk" + plist, kAbsent},
        {"garbage after", plist + "junk", kAbsent},
        {"unclosed element", "<plist><array><string>a</string></plist>", kAbsent},
        {"key at the top", document("<key>a</key>"), kAbsent},
        {"not a bplist version we read", "bplist15" + std::string(40, 'x'), kAbsent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PlistValue::parse(c.text), c.expected) << c.text;
    }
}

TEST(PlistXmlParse, NestingDepthLimit) {
    // 512 nested containers are read; a 513th is too deep. Scalars inside add no depth.
    const PlistValue at512 = PlistValue::parse(document(nested(512, "<string>x</string>")));
    const PlistValue* cursor = nullptr;
    EXPECT_EQ(arrayNesting(at512, &cursor), 512u);
    EXPECT_TRUE(cursor->isEqualToString("x"));
    EXPECT_FALSE(PlistValue::parse(document(nested(512, ""))).isAbsent());
    EXPECT_TRUE(PlistValue::parse(document(nested(513, ""))).isAbsent());

    const std::string_view dictOpen = "<dict><key>k</key>";
    EXPECT_FALSE(
        PlistValue::parse(document(nested(512, "<true/>", dictOpen, "</dict>"))).isAbsent());
    EXPECT_TRUE(
        PlistValue::parse(document(nested(513, "<true/>", dictOpen, "</dict>"))).isAbsent());
    // Far deeper input neither crashes nor recurses.
    EXPECT_TRUE(PlistValue::parse(document(nested(200000, ""))).isAbsent());
}

TEST(PlistXmlParse, MutatedDocumentsNeverCrash) {
    const std::string base = document(
        "<dict><key>a&amp;</key><array><integer>-5</integer><real>0.5</real><true/>"
        "<data>AAECAw==</data><date>2023-01-01T00:00:00Z</date><string><![CDATA[x]]></string>"
        "<dict><key>n</key><array/></dict></array></dict>");
    ASSERT_FALSE(PlistValue::parse(base).isAbsent());
    std::mt19937 random(1234);
    const char alphabet[] = "<>/&;=\"' \n!-[]xadkeytrs0123456789.eZT:";
    auto anyCharacter = [&] { return alphabet[random() % (sizeof alphabet - 1)]; };
    for (int round = 0; round < 3000; ++round) {
        std::string text = base;
        for (int e = 1 + static_cast<int>(random() % 4); e > 0; --e) {
            const std::size_t at = random() % text.size();
            const auto edit = random() % 3;
            if (edit == 0)
                text[at] = anyCharacter();
            else if (edit == 1)
                text.erase(at, 1 + random() % 8);
            else
                text.insert(at, 1, anyCharacter());
            if (text.empty())
                text = "<";
        }
        const PlistValue parsed = PlistValue::parse(text);
        if (!parsed.isAbsent()) { // whatever was read writes back and reads again equal
            EXPECT_EQ(PlistValue::parse(parsed.xml()), parsed) << text;
        }
    }
    for (std::size_t length = 0; length < base.rfind('>'); ++length)
        EXPECT_TRUE(PlistValue::parse(base.substr(0, length)).isAbsent()) << length;
}

} // namespace
