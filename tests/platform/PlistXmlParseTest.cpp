#include "PlistTestSupport.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>

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
        const PlistValue parsed = PlistValue::parse(document(c.body));
        if (c.expected.isAbsent()) {
            EXPECT_TRUE(parsed.isAbsent()) << c.body << "\n -> " << parsed.description();
        } else {
            EXPECT_EQ(parsed, c.expected) << c.body << "\n -> " << parsed.description()
                                          << "\n expected " << c.expected.description();
            EXPECT_EQ(parsed.kind(), c.expected.kind());
        }
    }
}

const PlistValue kAbsent;

TEST(PlistXmlParse, Strings) {
    runCases({
        {"plain", "<string>disk1s1</string>", "disk1s1"},
        {"empty element", "<string/>", ""},
        {"empty pair", "<string></string>", ""},
        {"spaces kept", "<string>  a  b  </string>", "  a  b  "},
        {"only spaces", "<string>   </string>", "   "},
        {"only a line feed", "<string>\n</string>", "\n"},
        {"line breaks", "<string>a\nb\n</string>", "a\nb\n"},
        {"crlf normalised", "<string>a\r\nb\rc</string>", "a\nb\nc"},
        {"carriage return by reference", "<string>a&#13;b</string>", "a\rb"},
        {"predefined entities", "<string>&amp;&lt;&gt;&quot;&apos;</string>", "&<>\"'"},
        {"character references", "<string>&#65;&#x42;&#x263A;&#128512;</string>",
         "AB\xE2\x98\xBA\xF0\x9F\x98\x80"},
        {"utf-8", "<string>Macintosh HD \xE2\x80\x94 Data</string>",
         "Macintosh HD \xE2\x80\x94 Data"},
        {"cdata", "<string><![CDATA[<not> & markup]]></string>", "<not> & markup"},
        {"text and cdata mixed", "<string>a<![CDATA[<b>]]>c</string>", "a<b>c"},
        {"cdata first", "<string><![CDATA[x]]>y</string>", "xy"},
        {"comment inside", "<string>a<!-- note -->b</string>", "ab"},
        // pugixml keeps white-space-only text only as an element's whole content.
        {"white space beside cdata is lost", "<string> <![CDATA[x]]></string>", "x"},
        {"element inside", "<string>a<b/>c</string>", kAbsent},
        {"unknown entity left as written", "<string>&nbsp;</string>", "&nbsp;"},
    });
}

TEST(PlistXmlParse, Integers) {
    const auto kMax = std::numeric_limits<std::int64_t>::max();
    const auto kMin = std::numeric_limits<std::int64_t>::min();
    runCases({
        {"zero", "<integer>0</integer>", integer(0)},
        {"negative", "<integer>-1</integer>", integer(-1)},
        {"plus sign", "<integer>+5</integer>", integer(5)},
        {"white space around", "<integer> \n 42\t</integer>", integer(42)},
        {"leading zeros", "<integer>007</integer>", integer(7)},
        {"hexadecimal", "<integer>0x1F</integer>", integer(31)},
        {"negative hexadecimal", "<integer>-0x10</integer>", integer(-16)},
        {"minus zero", "<integer>-0</integer>", integer(0)},
        {"INT64_MAX", "<integer>9223372036854775807</integer>", integer(kMax)},
        {"INT64_MIN", "<integer>-9223372036854775808</integer>", integer(kMin)},
        {"2^63 unsigned", "<integer>9223372036854775808</integer>",
         PlistValue::unsignedInteger(9223372036854775808ull)},
        {"2^64-1 unsigned", "<integer>18446744073709551615</integer>",
         PlistValue::unsignedInteger(18446744073709551615ull)},
        {"2^64 out of range", "<integer>18446744073709551616</integer>", kAbsent},
        {"below INT64_MIN", "<integer>-9223372036854775809</integer>", kAbsent},
        {"huge", "<integer>123456789012345678901234567890</integer>", kAbsent},
        {"hex above 2^64", "<integer>0x10000000000000000</integer>", kAbsent},
        {"empty", "<integer></integer>", kAbsent},
        {"empty element", "<integer/>", kAbsent},
        {"letters", "<integer>abc</integer>", kAbsent},
        {"fraction", "<integer>1.5</integer>", kAbsent},
        {"two signs", "<integer>--1</integer>", kAbsent},
        {"plus minus", "<integer>+-1</integer>", kAbsent},
        {"bare 0x", "<integer>0x</integer>", kAbsent},
        {"inner space", "<integer>1 2</integer>", kAbsent},
        {"element inside", "<integer><string>1</string></integer>", kAbsent},
    });
    // The unsigned mark survives only above INT64_MAX.
    const PlistValue big = PlistValue::parse(document("<integer>18446744073709551615</integer>"));
    ASSERT_NE(big.integer(), nullptr);
    EXPECT_TRUE(big.integer()->isUnsigned);
    EXPECT_EQ(big.integer()->bits, 18446744073709551615ull);
    const PlistValue max = PlistValue::parse(document("<integer>9223372036854775807</integer>"));
    ASSERT_NE(max.integer(), nullptr);
    EXPECT_FALSE(max.integer()->isUnsigned);
}

TEST(PlistXmlParse, Reals) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    runCases({
        {"half", "<real>0.5</real>", real(0.5)},
        {"exponent", "<real>-2.5e10</real>", real(-2.5e10)},
        {"integral", "<real>1</real>", real(1.0)},
        {"white space around", "<real> 3.25\n</real>", real(3.25)},
        {"plus sign", "<real>+0.25</real>", real(0.25)},
        {"shortest form of 0.1", "<real>0.1</real>", real(0.1)},
        {"subnormal", "<real>5e-324</real>", real(5e-324)},
        {"nan", "<real>nan</real>", real(nan)},
        {"NaN", "<real>NaN</real>", real(nan)},
        {"inf", "<real>inf</real>", real(inf)},
        {"+inf", "<real>+inf</real>", real(inf)},
        {"-inf", "<real>-inf</real>", real(-inf)},
        {"INF", "<real>INF</real>", real(inf)},
        {"-Infinity", "<real>-Infinity</real>", real(-inf)},
        {"overflow is infinite", "<real>1e400</real>", real(inf)},
        {"negative overflow", "<real>-1e400</real>", real(-inf)},
        {"underflow is zero", "<real>1e-400</real>", real(0.0)},
        {"empty", "<real></real>", kAbsent},
        {"letters", "<real>abc</real>", kAbsent},
        {"two points", "<real>1.2.3</real>", kAbsent},
        {"two signs", "<real>++1</real>", kAbsent},
        {"plus minus", "<real>+-1</real>", kAbsent},
        {"dangling exponent", "<real>1e</real>", kAbsent},
        {"hexadecimal", "<real>0x1p3</real>", kAbsent},
        {"inner space", "<real>1 .5</real>", kAbsent},
    });
    const PlistValue parsedNan = PlistValue::parse(document("<real>-nan</real>"));
    ASSERT_TRUE(parsedNan.real().has_value());
    EXPECT_TRUE(std::isnan(*parsedNan.real()));
}

TEST(PlistXmlParse, Booleans) {
    runCases({
        {"true", "<true/>", PlistValue(true)},
        {"false", "<false/>", PlistValue(false)},
        {"true pair", "<true></true>", PlistValue(true)},
        {"false with space", "<false> </false>", PlistValue(false)},
        {"text inside", "<true>yes</true>", kAbsent},
        {"element inside", "<false><true/></false>", kAbsent},
        {"capitalised", "<True/>", kAbsent},
    });
}

TEST(PlistXmlParse, Data) {
    runCases({
        {"padded", "<data>AAECAw==</data>", data({0, 1, 2, 3})},
        {"one pad", "<data>AAEC/w=</data>", kAbsent}, // 7 characters: not a whole quantum
        {"one pad ok", "<data>AAECAwQ=</data>", data({0, 1, 2, 3, 4})},
        {"no padding needed", "<data>AAEC</data>", data({0, 1, 2})},
        {"padding left out", "<data>AAECAw</data>", data({0, 1, 2, 3})},
        {"line breaks and tabs", "<data>\n\tAAEC\n\tAwQF\r\n\tBg==\n\t</data>",
         data({0, 1, 2, 3, 4, 5, 6})},
        {"spaces inside a quantum", "<data>AA E C</data>", data({0, 1, 2})},
        {"all symbols", "<data>+/+/</data>", data({0xFB, 0xFF, 0xBF})},
        {"empty", "<data></data>", data({})},
        {"empty element", "<data/>", data({})},
        {"only white space", "<data>\n\t</data>", data({})},
        {"three pads", "<data>AA===</data>", kAbsent},
        {"dangling character", "<data>AAECA</data>", kAbsent},
        {"pad in the middle", "<data>AA==AAAA</data>", kAbsent},
        {"only pads", "<data>====</data>", kAbsent},
        {"invalid character", "<data>AA!C</data>", kAbsent},
        {"url-safe alphabet", "<data>AA-_</data>", kAbsent},
        {"element inside", "<data>AA<x/>AA</data>", kAbsent},
    });
}

TEST(PlistXmlParse, Dates) {
    runCases({
        {"reference date", "<date>2001-01-01T00:00:00Z</date>", date(0)},
        {"unix epoch", "<date>1970-01-01T00:00:00Z</date>", date(-978307200)},
        {"1900", "<date>1900-01-01T00:00:00Z</date>", date(-3187296000.0)},
        {"year 1", "<date>0001-01-01T00:00:00Z</date>", date(-63113904000.0)},
        {"1600 after leap day", "<date>1600-03-01T00:00:00Z</date>", date(-12649219200.0)},
        {"past 2038", "<date>2038-01-19T03:14:08Z</date>", date(1169176448)},
        {"2100", "<date>2100-06-15T12:30:45Z</date>", date(3138438645.0)},
        {"3000", "<date>3000-01-01T00:00:00Z</date>", date(31525372800.0)},
        {"9999", "<date>9999-12-31T23:59:59Z</date>", date(252423993599.0)},
        {"leap day", "<date>2024-02-29T00:00:00Z</date>", date(730857600)},
        {"white space around", "<date>\n 2001-01-01T00:00:00Z \n</date>", date(0)},
        {"fraction", "<date>2001-01-01T00:00:00.25Z</date>", date(0.25)},
        {"fraction before 2001", "<date>2000-12-31T23:59:59.5Z</date>", date(-0.5)},
        {"extended year", "<date>+12000-01-01T00:00:00Z</date>", date(315537897600.0)},
        {"not a leap year", "<date>2023-02-29T00:00:00Z</date>", kAbsent},
        {"1900 not a leap year", "<date>1900-02-29T00:00:00Z</date>", kAbsent},
        {"month 13", "<date>2023-13-01T00:00:00Z</date>", kAbsent},
        {"month 0", "<date>2023-00-01T00:00:00Z</date>", kAbsent},
        {"day 32", "<date>2023-01-32T00:00:00Z</date>", kAbsent},
        {"hour 24", "<date>2023-01-01T24:00:00Z</date>", kAbsent},
        {"minute 60", "<date>2023-01-01T00:60:00Z</date>", kAbsent},
        {"second 60", "<date>2023-01-01T00:00:60Z</date>", kAbsent},
        {"space for T", "<date>2023-01-01 00:00:00Z</date>", kAbsent},
        {"no Z", "<date>2023-01-01T00:00:00</date>", kAbsent},
        {"offset", "<date>2023-01-01T00:00:00+01:00</date>", kAbsent},
        {"two-digit year", "<date>23-01-01T00:00:00Z</date>", kAbsent},
        {"five digits unsigned", "<date>12000-01-01T00:00:00Z</date>", kAbsent},
        {"one-digit month", "<date>2023-1-01T00:00:00Z</date>", kAbsent},
        {"empty fraction", "<date>2023-01-01T00:00:00.Z</date>", kAbsent},
        {"empty", "<date></date>", kAbsent},
        {"trailing text", "<date>2023-01-01T00:00:00Zx</date>", kAbsent},
    });
}

TEST(PlistXmlParse, Containers) {
    runCases({
        {"dictionary",
         "<dict>\n\t<key>b</key>\n\t<integer>2</integer>\n\t<key>a</key>\n\t<string>x</string>\n"
         "</dict>",
         dict({{"a", "x"}, {"b", integer(2)}})},
        {"empty dictionary", "<dict/>", PlistValue::dictionary()},
        {"empty dictionary pair", "<dict></dict>", PlistValue::dictionary()},
        {"empty dictionary with space", "<dict>\n\t</dict>", PlistValue::dictionary()},
        {"empty key", "<dict><key/><true/></dict>", dict({{"", PlistValue(true)}})},
        {"key with entities",
         "<dict><key>a&amp;b &lt;c&gt; &#x263A;</key><string>&quot;v&quot;</string></dict>",
         dict({{"a&b <c> \xE2\x98\xBA", "\"v\""}})},
        {"key with cdata", "<dict><key><![CDATA[<k>]]></key><true/></dict>",
         dict({{"<k>", PlistValue(true)}})},
        {"comments between entries",
         "<dict><!-- c --><key>a</key><!-- c --><true/><!-- c --></dict>",
         dict({{"a", PlistValue(true)}})},
        {"duplicate keys: the later wins",
         "<dict><key>k</key><integer>1</integer><key>j</key><true/>"
         "<key>k</key><integer>2</integer></dict>",
         dict({{"j", PlistValue(true)}, {"k", integer(2)}})},
        {"array", "<array>\n\t<string>a</string>\n\t<integer>1</integer>\n\t<true/>\n</array>",
         array({"a", integer(1), PlistValue(true)})},
        {"empty array", "<array/>", PlistValue::array()},
        {"empty array with space", "<array>\n</array>", PlistValue::array()},
        {"nested",
         "<dict><key>a</key><array><dict><key>b</key><array><array/></array></dict></array>"
         "</dict>",
         dict({{"a", array({dict({{"b", array({PlistValue::array()})}})})}})},
        {"key without value", "<dict><key>a</key></dict>", kAbsent},
        {"key without value at the end", "<dict><key>a</key><true/><key>b</key></dict>", kAbsent},
        {"two keys in a row", "<dict><key>a</key><key>b</key><true/></dict>", kAbsent},
        {"value without key", "<dict><string>x</string></dict>", kAbsent},
        {"value first", "<dict><true/><key>a</key></dict>", kAbsent},
        {"text in a dictionary", "<dict>text<key>a</key><true/></dict>", kAbsent},
        {"text after a value", "<dict><key>a</key><true/>text</dict>", kAbsent},
        {"text in an array", "<array><true/>text</array>", kAbsent},
        {"only text in an array", "<array>text</array>", kAbsent},
        {"cdata text in an array", "<array><![CDATA[x]]></array>", kAbsent},
        {"element in a key", "<dict><key>a<b/></key><true/></dict>", kAbsent},
        {"key outside a dictionary", "<array><key>a</key></array>", kAbsent},
        {"unknown element", "<array><foo/></array>", kAbsent},
        {"unknown element in a dictionary", "<dict><key>a</key><foo/></dict>", kAbsent},
        {"malformed value deep inside",
         "<dict><key>a</key><array><dict><key>b</key><integer>x</integer></dict></array></dict>",
         kAbsent},
    });
}

TEST(PlistXmlParse, DocumentShapes) {
    struct RawCase {
        const char* name;
        std::string text;
        bool present;
    };
    const std::string value = "<string>v</string>";
    const std::vector<RawCase> cases = {
        {"full document", document(value), true},
        {"no declaration, no doctype", "<plist version=\"1.0\">" + value + "</plist>", true},
        {"declaration only", "<?xml version=\"1.0\"?><plist>" + value + "</plist>", true},
        {"utf-8 byte-order mark", "\xEF\xBB\xBF<plist>" + value + "</plist>", true},
        {"white space around", "\n\n  <plist>" + value + "</plist>\n\n", true},
        {"comment after", "<plist>" + value + "</plist><!-- end -->", true},
        {"doctype with internal subset",
         "<!DOCTYPE plist [ <!ELEMENT plist ANY> ]><plist>" + value + "</plist>", true},
        {"empty input", "", false},
        {"white space only", "  \n ", false},
        {"empty plist", document(""), false},
        {"empty plist element", std::string(kPrologue) + "<plist version=\"1.0\"/>", false},
        {"two values", document(value + value), false},
        {"text beside the value", document(value + "junk"), false},
        {"text only", document("junk"), false},
        {"root not plist", std::string(kPrologue) + "<dict/>", false},
        {"two plist roots", "<plist>" + value + "</plist><plist>" + value + "</plist>", false},
        {"garbage before", "junk<plist>" + value + "</plist>", false},
        {"garbage after", "<plist>" + value + "</plist>junk", false},
        {"truncated", document(value).substr(0, 150), false},
        {"unclosed element", "<plist><array><string>a</string></plist>", false},
        {"mismatched end tag", "<plist><array></dict></plist>", false},
        {"old-style text plist", "{ a = b; c = (1, 2); }", false},
        {"json", "{\"a\": 1}", false},
        {"key at the top", document("<key>a</key>"), false},
        {"unknown value", document("<foo/>"), false},
        {"not a bplist version we read", "bplist15xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const PlistValue parsed = PlistValue::parse(c.text);
        EXPECT_EQ(!parsed.isAbsent(), c.present) << c.text;
        if (c.present) {
            EXPECT_TRUE(parsed.isEqualToString("v"));
        }
    }
}

TEST(PlistXmlParse, Utf16Document) {
    const std::string utf8 = "<?xml version=\"1.0\" encoding=\"UTF-16\"?><plist><string>\xC3\xA9"
                             "</string></plist>";
    // UTF-16LE with its byte-order mark: é is U+00E9.
    std::string utf16 = "\xFF\xFE";
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if (static_cast<unsigned char>(utf8[i]) == 0xC3) {
            utf16 += '\xE9';
            utf16 += '\0';
            ++i;
            continue;
        }
        utf16 += utf8[i];
        utf16 += '\0';
    }
    EXPECT_TRUE(PlistValue::parse(utf16).isEqualToString("\xC3\xA9"));
}

TEST(PlistXmlParse, NestingDepthLimit) {
    // 512 nested containers are read; a 513th is too deep. Scalars inside add no depth.
    const PlistValue at512 = PlistValue::parse(document(nestedArrays(512, "<string>x</string>")));
    ASSERT_FALSE(at512.isAbsent());
    const PlistValue* cursor = nullptr;
    EXPECT_EQ(arrayNesting(at512, &cursor), 512u);
    EXPECT_TRUE(cursor->isEqualToString("x"));

    EXPECT_FALSE(PlistValue::parse(document(nestedArrays(512, ""))).isAbsent());
    EXPECT_TRUE(PlistValue::parse(document(nestedArrays(513, ""))).isAbsent());
    EXPECT_TRUE(PlistValue::parse(document(nestedArrays(513, "<string>x</string>"))).isAbsent());

    // Dictionaries count the same.
    std::string dicts;
    for (int i = 0; i < 513; ++i)
        dicts += "<dict><key>k</key>";
    dicts += "<true/>";
    for (int i = 0; i < 513; ++i)
        dicts += "</dict>";
    EXPECT_TRUE(PlistValue::parse(document(dicts)).isAbsent());
    std::string dicts512;
    for (int i = 0; i < 512; ++i)
        dicts512 += "<dict><key>k</key>";
    dicts512 += "<true/>";
    for (int i = 0; i < 512; ++i)
        dicts512 += "</dict>";
    EXPECT_FALSE(PlistValue::parse(document(dicts512)).isAbsent());

    // Far deeper input neither crashes nor recurses.
    EXPECT_TRUE(PlistValue::parse(document(nestedArrays(200000, ""))).isAbsent());
}

TEST(PlistXmlParse, DiskutilShapedDocument) {
    const std::string text = std::string(kPrologue) + R"(<plist version="1.0">
<dict>
	<key>Containers</key>
	<array>
		<dict>
			<key>APFSContainerUUID</key>
			<string>5E5A6C1B-0000-4E6A-9D0B-3D1C2B3A4F50</string>
			<key>CapacityCeiling</key>
			<integer>494384795648</integer>
			<key>CapacityFree</key>
			<integer>201326592000</integer>
			<key>ContainerReference</key>
			<string>disk3</string>
			<key>DesignatedPhysicalStore</key>
			<string>disk0s2</string>
			<key>Fusion</key>
			<false/>
			<key>PhysicalStores</key>
			<array>
				<dict>
					<key>DeviceIdentifier</key>
					<string>disk0s2</string>
					<key>Size</key>
					<integer>494384795648</integer>
				</dict>
			</array>
			<key>Volumes</key>
			<array>
				<dict>
					<key>CapacityInUse</key>
					<integer>10485760000</integer>
					<key>DeviceIdentifier</key>
					<string>disk3s1</string>
					<key>Name</key>
					<string>Macintosh HD</string>
					<key>Roles</key>
					<array>
						<string>System</string>
					</array>
				</dict>
				<dict>
					<key>DeviceIdentifier</key>
					<string>disk3s5</string>
					<key>Name</key>
					<string>Macintosh HD - Data</string>
					<key>Roles</key>
					<array>
						<string>Data</string>
					</array>
				</dict>
				<dict>
					<key>DeviceIdentifier</key>
					<string>disk3s6</string>
					<key>Name</key>
					<string>VM</string>
					<key>Roles</key>
					<array>
						<string>VM</string>
					</array>
				</dict>
			</array>
		</dict>
	</array>
</dict>
</plist>
)";
    const PlistValue root = PlistValue::parse(text);
    ASSERT_TRUE(root.isDictionary());
    const PlistValue& containers = root["Containers"];
    ASSERT_EQ(containers.count(), 1u);
    const PlistValue& container = containers[0];
    EXPECT_TRUE(container["ContainerReference"].isEqualToString("disk3"));
    EXPECT_TRUE(container["DesignatedPhysicalStore"].isEqualToString("disk0s2"));
    EXPECT_EQ(container["CapacityCeiling"].integerValue(), 494384795648);
    EXPECT_EQ(container["CapacityFree"].integerValue(), 201326592000);
    EXPECT_EQ(container["CapacityFree"].doubleValue(), 201326592000.0);
    EXPECT_FALSE(container["Fusion"].boolValue());
    EXPECT_TRUE(container["PhysicalStores"][0]["DeviceIdentifier"].hasPrefix("disk0"));
    const PlistValue& volumes = container["Volumes"];
    ASSERT_EQ(volumes.count(), 3u);
    EXPECT_TRUE(volumes[0]["DeviceIdentifier"].isEqualToString("disk3s1"));
    EXPECT_TRUE(volumes[0]["Roles"][0].isEqualToString("System"));
    EXPECT_TRUE(volumes[1]["Roles"][0].isEqualToString("Data"));
    EXPECT_TRUE(volumes[1]["Name"].hasSuffix("Data"));
    EXPECT_TRUE(volumes[2]["Roles"][0].isEqualToString("VM"));
    EXPECT_EQ(volumes[2]["Roles"].count(), 1u);
    EXPECT_TRUE(volumes[2]["Roles"][1].isAbsent());
    EXPECT_TRUE(volumes[3]["DeviceIdentifier"].isAbsent());
    EXPECT_TRUE(container["Missing"]["Deeper"][0].isAbsent());
}

TEST(PlistXmlParse, MutatedDocumentsNeverCrash) {
    const std::string base = document(
        "<dict><key>a&amp;</key><array><integer>-5</integer><real>0.5</real><true/>"
        "<data>AAECAw==</data><date>2023-01-01T00:00:00Z</date><string><![CDATA[x]]></string>"
        "<dict><key>n</key><array/></dict></array></dict>");
    ASSERT_FALSE(PlistValue::parse(base).isAbsent());
    std::mt19937 random(1234);
    const char alphabet[] = "<>/&;=\"' \n!-[]xadkeytrs0123456789.eZT:";
    for (int round = 0; round < 3000; ++round) {
        std::string text = base;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = random() % text.size();
            switch (random() % 3) {
            case 0:
                text[at] = alphabet[random() % (sizeof alphabet - 1)];
                break;
            case 1:
                text.erase(at, 1 + random() % 8);
                break;
            default:
                text.insert(at, 1, alphabet[random() % (sizeof alphabet - 1)]);
                break;
            }
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
