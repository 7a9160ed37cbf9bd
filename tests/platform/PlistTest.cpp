#include <VivoziZevidodirid/PlistValue.h>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <plist/plist.h>
#include <string>
#include <vector>

// gtest shows a value by its description.
void PrintTo(const PlistValue& value, std::ostream* out) {
    *out << value.description();
}

namespace {

using Entries = std::initializer_list<std::pair<std::string, PlistValue>>;
PlistValue dict(Entries entries) {
    return PlistValue(PlistValue::Dictionary(entries));
}
PlistValue array(std::initializer_list<PlistValue> elements) {
    return PlistValue(PlistValue::Array(elements));
}
PlistValue data(std::initializer_list<std::uint8_t> bytes) {
    return PlistValue(PlistValue::Data(bytes));
}
PlistValue date(double seconds) {
    return PlistValue(PlistValue::Date{seconds});
}

std::string document(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
           "\"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n" +
           std::string(body) + "\n</plist>\n";
}

std::string nested(std::size_t n, std::string_view innermost = "") {
    std::string open, close;
    for (std::size_t i = 0; i < n; ++i)
        open += "<array>", close += "</array>";
    return open + std::string(innermost) + close;
}

// UTF-16LE with a byte-order mark, from UTF-8 of at most two bytes a character.
std::string utf16(std::string_view utf8) {
    std::string out = "\xFF\xFE";
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        unsigned c = static_cast<unsigned char>(utf8[i]);
        if (c >= 0xC0)
            c = (c & 0x1F) << 6 | (static_cast<unsigned char>(utf8[++i]) & 0x3F);
        out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    }
    return out;
}

const PlistValue kAbsent;

// Every integer type converts at its exact value (these were ambiguous between the int64_t,
// int, double and bool constructors); an unsigned one above INT64_MAX stays unsigned.
TEST(PlistValueConstruct, IntegersOfEveryTypeKeepTheirValue) {
    constexpr std::uint64_t kAboveSigned = std::uint64_t{1} << 63;
    const std::pair<PlistValue, PlistValue::Integer> cases[] = {
        {PlistValue(5u), {5, false}},
        {PlistValue(std::size_t{5}), {5, false}},
        {PlistValue(5LL), {5, false}},
        {PlistValue(5L), {5, false}},
        {PlistValue(static_cast<short>(-3)), {static_cast<std::uint64_t>(-3), false}},
        {PlistValue(static_cast<unsigned char>(200)), {200, false}},
        {PlistValue(std::numeric_limits<std::int64_t>::min()), {kAboveSigned, false}},
        {PlistValue(std::uint64_t{kAboveSigned - 1}), {kAboveSigned - 1, false}},
        {PlistValue(std::uint64_t{kAboveSigned}), {kAboveSigned, true}},
        {PlistValue(~0ull), {~0ull, true}},
    };
    for (const auto& [value, expected] : cases) {
        ASSERT_NE(value.integer(), nullptr) << value.description();
        EXPECT_EQ(value.integer()->bits, expected.bits) << value.description();
        EXPECT_EQ(value.integer()->isUnsigned, expected.isUnsigned) << value.description();
    }
    EXPECT_EQ(PlistValue(~0ull), PlistValue::unsignedInteger(~0ull));
    EXPECT_EQ(PlistValue(~0ull).integerValue(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(PlistValue(true).kind(), PlistValue::Kind::Boolean);
    EXPECT_EQ(PlistValue(2.5).kind(), PlistValue::Kind::Real);
}

TEST(PlistXmlParse, ReadsEveryKind) {
    const std::string body =
        "<dict><key>s</key><string>a\r\nb&amp;&lt;&#65;&#x263A;&#x1F600;<![CDATA[<b>&#0;]]><!-- c "
        "-->"
        "c&#13;&#x1;</string>"
        "<key>i</key><integer>-0x10</integer><key>u</key><integer>18446744073709551615</integer>"
        "<key>r</key><real>-2.5e10</real><key>t</key><true/><key>f</key><false/>"
        "<key>d</key><data>\n\tAAEC\n\tAwQ=</data><key>w</key><date>2000-12-31T23:59:59.5Z</date>"
        "<key>a</key><array>&#32;<dict/><string/></array></dict>";
    EXPECT_EQ(PlistValue::parse(document(body)),
              dict({{"s", "a\nb&<A\xE2\x98\xBA\xF0\x9F\x98\x80<b>&#0;c\r\x01"},
                    {"i", PlistValue(std::int64_t{-16})},
                    {"u", PlistValue::unsignedInteger(18446744073709551615ull)},
                    {"r", PlistValue(-2.5e10)},
                    {"t", PlistValue(true)},
                    {"f", PlistValue(false)},
                    {"d", data({0, 1, 2, 3, 4})},
                    {"w", date(-0.5)},
                    {"a", array({PlistValue::dictionary(), ""})}}));
}

TEST(PlistXmlParse, MalformedDocumentsAreRejected) {
    const struct {
        const char* why;
        std::string text;
    } cases[] = {
        {"no bytes", ""},
        {"a plist holding no value", document("")},
        {"a plist holding two values", document("<string>v</string><string>v</string>")},
        {"no plist element", "<?xml version=\"1.0\"?><dict/>"},
        {"an element left open", "<plist><array><string>a</string></plist>"},
        {"an element inside a string", document("<string>a<b/>c</string>")},
        {"text in a boolean", document("<true>yes</true>")},
        {"an integer past 64 bits", document("<integer>18446744073709551616</integer>")},
        {"a fraction in an integer", document("<integer>1.5</integer>")},
        {"two points in a real", document("<real>1.2.3</real>")},
        {"base64 after its padding", document("<data>AA==AAAA</data>")},
        {"a day no calendar has", document("<date>1900-02-29T00:00:00Z</date>")},
        {"a date with a zone offset", document("<date>2023-01-01T00:00:00+01:00</date>")},
        {"a key without a value", document("<dict><key>a</key><true/><key>b</key></dict>")},
        {"a key in an array", document("<array><key>a</key></array>")},
        {"a malformed value deep inside",
         document("<dict><key>a</key><array><integer>x</integer></array></dict>")},
        // pugixml alone would cut the text at the NUL, write invalid UTF-8, or wrap the number
        // round to another character.
        {"a reference to NUL", document("<string>a&#0;b</string>")},
        {"a key with a reference to NUL", document("<dict><key>k&#x00;</key><true/></dict>")},
        {"a reference to NUL between elements", document("<array>&#0;</array>")},
        {"a reference to a surrogate", document("<string>&#xD800;</string>")},
        {"a reference past U+10FFFF", document("<string>&#1114112;</string>")},
        {"a reference past 64 bits", document("<string>&#99999999999999999999;</string>")},
        {"text that is not UTF-8", document("<string>\xC3(</string>")},
        {"an element named like a value but longer", document("<integers>1</integers>")},
        {"an element named like a value but shorter", document("<dat>AA==</dat>")},
        {"an element named in another case", document("<Dict/>")},
        {"a key element named longer", document("<dict><keys>a</keys><true/></dict>")},
        {"a long element name in UTF-16", utf16("<plist><integerxyz>1</integerxyz></plist>")},
        {"a NUL before the last '>'", std::string("<plist><true/></plist") + '\0' + ">"},
    };
    for (const auto& [why, text] : cases)
        EXPECT_EQ(PlistValue::parse(text), kAbsent) << why;
}

// Text and names are read a word at a time where they lie in the document's own bytes (and by
// the byte once pugixml has converted UTF-16): a reference, a character past ASCII or the end
// at every offset of the first three words.
TEST(PlistXmlParse, TextOfEveryLengthWithAnythingAtAnyOffset) {
    const std::pair<std::string_view, std::string_view> inserts[] = {
        {"", ""}, {"&amp;", "&"}, {"\xC3\xA9", "\xC3\xA9"}, {"&#xE9;", "\xC3\xA9"}};
    for (std::size_t length = 0; length <= 17; ++length) {
        for (std::size_t at = 0; at <= length; ++at) {
            for (const auto& [written, read] : inserts) {
                const std::string plain(length, 'x');
                const std::string source =
                                      plain.substr(0, at) + std::string(written) + plain.substr(at),
                                  text = plain.substr(0, at) + std::string(read) + plain.substr(at);
                const std::string body =
                    "<dict><key>" + source + "</key><string>" + source + "</string></dict>";
                const PlistValue expected = dict({{text, text}});
                EXPECT_EQ(PlistValue::parse(document(body)), expected) << source;
                EXPECT_EQ(PlistValue::parse(utf16(document(body))), expected) << source;
            }
        }
    }
}

TEST(PlistXmlParse, NestingDepthLimit) {
    EXPECT_FALSE(PlistValue::parse(document(nested(512, "<true/>"))).isAbsent());
    EXPECT_TRUE(PlistValue::parse(document(nested(513))).isAbsent());
    EXPECT_TRUE(PlistValue::parse(document(nested(200000))).isAbsent()); // and no recursion
}

TEST(PlistXmlWrite, EscapesAndRoundTripsEveryKind) {
    EXPECT_EQ(PlistValue("A & B <c>\r\x01").xml(),
              document("<string>A &amp; B &lt;c&gt;&#13;&#x1;</string>"));
    const double inf = std::numeric_limits<double>::infinity();
    const PlistValue tree = dict({
        {"Key & <markup>", "a \"q\" 'a' \t\n ]]> \xE2\x80\x94 \xF0\x9F\x98\x80 \x07"},
        {"Integers", array({PlistValue(std::numeric_limits<std::int64_t>::min()),
                            PlistValue::unsignedInteger(18446744073709551615ull)})},
        {"Reals", array({PlistValue(0.1), PlistValue(5e-324), PlistValue(-0.0), PlistValue(-inf),
                         PlistValue(std::nan(""))})},
        {"Data", array({data({}), data({0}), data({0, 1}), data({0, 1, 2})})},
        {"Dates", array({date(-0.25), date(1234.000001), date(-63113904000.0 - 86400 * 366),
                         date(315537897600.0)})},
        {"Nested", dict({{"a", array({dict({{"b", PlistValue::array()}})})}})},
    });
    EXPECT_EQ(PlistValue::parse(tree.xml()), tree);
}

// Every date the readers accept has a calendar form in the description, as in the XML.
TEST(PlistDescription, DatesWithinRangeAreCalendarTimes) {
    const std::pair<double, const char*> cases[] = {
        {-0.5, "\"2000-12-31 23:59:59 +0000\""},
        {4.5e18, "\"142599325281-08-26 08:00:00 +0000\""},
        {0x1p62, "\"146138514314-06-20 07:45:04 +0000\""},
        {1e19, "1e+19"},
        {std::nan(""), "nan"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(date(seconds).description(), text) << seconds;
}

// tree as libplist writes it in binary, sharing equal strings.
std::string libplistBinary(const PlistValue& tree) {
    const std::string xml = tree.xml();
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    plist_free(node);
    std::string result(bytes ? bytes : "", bytes ? length : 0);
    plist_to_bin_free(bytes);
    return result;
}

TEST(PlistBinary, ReadsEveryKindLibplistWrites) {
    const PlistValue tree = dict({
        {"String", "h\xC3\xA9llo \xE2\x98\xBA \xF0\x9F\x98\x80"},
        {"Large", PlistValue(494384795648)},
        {"Negative", PlistValue(-5)},
        {"Unsigned", PlistValue::unsignedInteger(18446744073709551615ull)},
        {"Real", PlistValue(0.1)},
        {"Flags", array({PlistValue(true), PlistValue(false)})},
        {"Data", data({0, 1, 2, 3, 4})},
        {"Date", date(1169176448)},
        {"List", array({"disk3s1", dict({{"Roles", PlistValue::array()}}), "", "disk3s1"})},
        {"\xE2\x98\xBA key", array({array({array({"disk3s1"})})})},
    });
    EXPECT_EQ(PlistValue::parse(libplistBinary(tree)), tree);
}

void putBigEndian(std::string& out, std::uint64_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;)
        out.push_back(static_cast<char>(i >= 8 ? 0 : (value >> (8 * i)) & 0xFF));
}

// A marker with its count (inline below 15, else an integer object after it).
std::string marked(unsigned type, std::uint64_t count) {
    std::string out(1, static_cast<char>((type << 4) | (count < 15 ? count : 0x0F)));
    if (count >= 15) {
        const unsigned log = count <= 0xFF ? 0 : count <= 0xFFFF ? 1 : 2;
        out.push_back(static_cast<char>(0x10 | log));
        putBigEndian(out, count, 1u << log);
    }
    return out;
}

// An array (0xA) or dictionary (0xD, keys then values) of references width bytes wide.
std::string container(unsigned type, const std::vector<std::uint64_t>& refs, unsigned width = 1) {
    std::string out = marked(type, refs.size() / (type == 0xD ? 2 : 1));
    for (auto ref : refs)
        putBigEndian(out, ref, width);
    return out;
}

// A scalar: its marker, then width big-endian bytes of value.
std::string scalar(unsigned marker, std::uint64_t value, unsigned width) {
    std::string out(1, static_cast<char>(marker));
    putBigEndian(out, value, width);
    return out;
}
std::string real64(double value) {
    return scalar(0x23, std::bit_cast<std::uint64_t>(value), 8);
}
std::string utf16(std::u16string_view text) {
    std::string out = marked(0x6, text.size());
    for (char16_t unit : text)
        putBigEndian(out, unit, 2);
    return out;
}

const std::string kTrue = "\x09", kAsciiX = "\x51x";

// A file of the objects, the root first. An offset width of 0 picks the narrowest of 1, 2, 4.
std::string build(const std::vector<std::string>& objects, unsigned refSize = 1,
                  unsigned offsetSize = 0) {
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const auto& object : objects) {
        offsets.push_back(out.size());
        out += object;
    }
    const std::uint64_t table = out.size();
    if (offsetSize == 0)
        offsetSize = table <= 0xFF ? 1 : table <= 0xFFFF ? 2 : 4;
    for (auto offset : offsets)
        putBigEndian(out, offset, offsetSize);
    out.append(6, '\0');
    out.push_back(static_cast<char>(offsetSize));
    out.push_back(static_cast<char>(refSize));
    for (const std::uint64_t field : {std::uint64_t{objects.size()}, std::uint64_t{0}, table})
        putBigEndian(out, field, 8); // objects, root, offset table
    return out;
}

// Objects libplist does not write, each read by itself, and shared objects read at every
// reference.
TEST(PlistBinary, ReadsEachObjectForm) {
    const std::uint64_t kMax = ~std::uint64_t{0};
    std::vector<std::uint64_t> sixteen;
    for (std::uint64_t i = 0; i < 16; ++i)
        sixteen.push_back(1);
    const struct {
        std::vector<std::string> objects;
        PlistValue expected;
    } cases[] = {
        {{scalar(0x22, 0x3FC00000, 4)}, PlistValue(1.5)}, // a 4-byte real
        {{real64(-0.1)}, PlistValue(-0.1)},
        {{scalar(0x10, 200, 1)}, PlistValue(200)}, // 1, 2 and 4 bytes are unsigned
        {{scalar(0x12, 0xFFFFFFFF, 4)}, PlistValue(4294967295)},
        {{scalar(0x13, kMax - 1, 8)}, PlistValue(-2)}, // 8 signed
        {{scalar(0x14, kMax, 16)}, PlistValue::unsignedInteger(kMax)},
        {{scalar(0x14, kMax, 8) + std::string(8, '\xFF')}, PlistValue(-1)},
        {{std::string("\x08")}, PlistValue(false)},
        {{scalar(0x33, std::bit_cast<std::uint64_t>(-0.5), 8)}, date(-0.5)},
        {{std::string("\x43\x00\xFF\x7F", 4)}, data({0x00, 0xFF, 0x7F})},
        {{std::string("\x40")}, data({})},
        {{std::string("\x50")}, ""},
        {{utf16(u"")}, ""},
        {{utf16(u"\u00E9\u263A\U0001F600")}, "\xC3\xA9\xE2\x98\xBA\xF0\x9F\x98\x80"},
        // A surrogate pair across the end of the converter's first 1024 units.
        {{utf16(std::u16string(1023, u'\u263A') + u"\U0001F600a")}, PlistValue([] {
             std::string text;
             for (int i = 0; i < 1023; ++i)
                 text += "\xE2\x98\xBA";
             return text + "\xF0\x9F\x98\x80"
                           "a";
         }())},
        {{container(0xA, sixteen), kAsciiX}, PlistValue(PlistValue::Array(16, "x"))},
        // Dictionaries: a UTF-16 key; a later duplicate key wins.
        {{container(0xD, {1, 2, 3, 4}), "\x51k", utf16(u"\u00E9"), kTrue, "\x08"},
         dict({{"k", PlistValue(true)}, {"\xC3\xA9", PlistValue(false)}})},
        {{container(0xD, {1, 1, 2, 3}), "\x51k", kTrue, "\x08"}, dict({{"k", PlistValue(false)}})},
        // One array object under two keys and twice in an array: a copy at each place.
        {{container(0xD, {1, 2, 3, 3}),
          "\x51"
          "a",
          "\x51"
          "b",
          container(0xA, {4, 5}), kAsciiX, real64(2.5)},
         dict({{"a", array({"x", PlistValue(2.5)})}, {"b", array({"x", PlistValue(2.5)})}})},
        {{container(0xA, {1, 1}), container(0xA, {2}), container(0xA, {})},
         array({array({PlistValue::array()}), array({PlistValue::array()})})},
    };
    for (std::size_t row = 0; row < std::size(cases); ++row)
        EXPECT_EQ(PlistValue::parse(build(cases[row].objects)), cases[row].expected) << row;
}

// The reader took only widths of 1, 2, 4 and 8, so every binary list libplist writes past 64 KiB
// (3-byte offsets) read as absent.
TEST(PlistBinary, AnyOffsetOrReferenceWidthParses) {
    const auto twoStrings = [](unsigned offsetWidth, unsigned refWidth) {
        return build({container(0xA, {1, 2}, refWidth), kAsciiX, "\x52\x62\x63"}, refWidth,
                     offsetWidth); // ["x", "bc"]
    };
    for (unsigned offsetWidth = 1; offsetWidth <= 8; ++offsetWidth)
        for (unsigned refWidth = 1; refWidth <= 8; ++refWidth)
            EXPECT_EQ(PlistValue::parse(twoStrings(offsetWidth, refWidth)), array({"x", "bc"}))
                << offsetWidth << ", " << refWidth;
    EXPECT_EQ(PlistValue::parse(twoStrings(9, 1)), kAbsent);
    EXPECT_EQ(PlistValue::parse(twoStrings(1, 0)), kAbsent);
}

// Hostile or malformed files read as nothing, and quickly, whatever they would expand to.
TEST(PlistBinary, MalformedFilesAreRejected) {
    const std::string loneHigh("\x61\xD8\x3D", 3);
    std::string rootPastTable = build({container(0xA, {1}), kAsciiX});
    rootPastTable[rootPastTable.size() - 32 - 2] = '\xFF';
    // 2^200 nodes: each level holds the next twice; unreachable padding raises the node budget,
    // so that building the expansion until the budget stops it would take seconds.
    std::vector<std::string> expansion;
    for (std::uint64_t i = 0; i < 199; ++i)
        expansion.push_back(container(0xA, {i + 1, i + 1}, 2));
    expansion.push_back(kTrue);
    expansion.push_back(marked(0x4, 8 << 20) + std::string(8 << 20, '\0'));
    auto chain = [](std::uint64_t depth) { // depth nested arrays around true
        std::vector<std::string> objects;
        for (std::uint64_t i = 0; i < depth; ++i)
            objects.push_back(container(0xA, {i + 1}, 2));
        objects.push_back(kTrue);
        return build(objects, 2);
    };
    const struct {
        const char* why;
        std::string bytes;
    } cases[] = {
        {"a lone high surrogate", build({loneHigh})},
        {"a pair, then a lone low surrogate",
         build({std::string("\x63\xD8\x3D\xDE\x00\xDE\x00", 7)})},
        {"UTF-16 with a NUL", build({std::string("\x62\xD8\x3D\x00\x41", 5)})},
        {"a key with a lone surrogate", build({container(0xD, {1, 2}), loneHigh, kTrue})},
        {"ASCII past 127", build({"\x51\x80"})},
        {"ASCII with a NUL", build({std::string("\x53"
                                                "a\0b",
                                                4)})},
        {"a key that is no string", build({container(0xD, {1, 2}), "\x10\x01", kTrue})},
        {"null", build({std::string(1, '\0')})},
        {"a UID", build({"\x80\x01"})},
        {"a set", build({container(0xC, {})})},
        {"a 2-byte real", build({scalar(0x21, 0, 2)})},
        {"a 16-byte integer past 64 bits", build({scalar(0x14, 1, 8) + std::string(8, '\0')})},
        {"a date past 2^62 seconds", build({scalar(0x33, std::bit_cast<std::uint64_t>(1e19), 8)})},
        {"a date that is NaN", build({scalar(0x33, 0x7FF8000000000000, 8)})},
        {"a count 16 bytes wide", build({"\x5F\x14" + std::string(15, '\0') + "\x01x"})},
        {"a string running into the offset table", build({"\x53xy"})},
        {"an array holding itself", build({container(0xA, {0})})},
        {"a cycle through a dictionary",
         build({container(0xD, {1, 2}), "\x51k", container(0xA, {0})})},
        {"a reference past the objects", build({container(0xA, {1, 9}), kAsciiX})},
        {"a root past the objects", rootPastTable},
        {"an expansion past the budget", build(expansion, 2)},
        {"513 containers deep", chain(513)},
        {"no trailer", "bplist00"},
        {"another version", "bplist01" + build({kTrue}).substr(8)},
    };
    for (const auto& [why, bytes] : cases) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PlistValue::parse(bytes), kAbsent) << why;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << why;
    }
    EXPECT_FALSE(PlistValue::parse(chain(512)).isAbsent());
}

} // namespace
