#include <VivoziZevidodirid/PlistValue.h>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <plist/plist.h>
#include <string>
#include <unicode/unistr.h>
#include <vector>

// gtest shows a value by its description.
void PrintTo(const PlistValue& value, std::ostream* out) {
    *out << value.description();
}

namespace {

using Entries = std::initializer_list<std::pair<std::string, PlistValue>>;
using Values = std::initializer_list<PlistValue>;
using Bytes = std::initializer_list<std::uint8_t>;
const auto dict = [](Entries entries) { return PlistValue(PlistValue::Dictionary(entries)); };
const auto array = [](Values values) { return PlistValue(PlistValue::Array(values)); };
const auto data = [](Bytes bytes) { return PlistValue(PlistValue::Data(bytes)); };
const auto date = [](double seconds) { return PlistValue(PlistValue::Date{seconds}); };
const auto repeat = [](std::string_view text, std::size_t n) {
    std::string out;
    while (n-- > 0)
        out += text;
    return out;
};
const PlistValue kAbsent;

const std::string kPrologue = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC "
                              "\"-//Apple//DTD PLIST 1.0//EN\" "
                              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
std::string document(std::string_view body) {
    return kPrologue + "<plist version=\"1.0\">\n" + std::string(body) + "\n</plist>\n";
}

// UTF-16LE with a byte-order mark.
std::string utf16(std::string_view utf8) {
    const auto text = icu::UnicodeString::fromUTF8(utf8);
    std::string out(2 * text.length() + 2, '\0'); // with room for the terminator
    out.resize(text.extract(0, text.length(), out.data(), out.size(), "UTF-16LE"));
    return "\xFF\xFE" + out;
}

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
        {PlistValue(~0ull), {~0ull, true}}};
    for (const auto& [value, expected] : cases) {
        ASSERT_NE(value.integer(), nullptr) << value.description();
        EXPECT_TRUE(*value.integer() == expected) << value.description();
    }
    EXPECT_EQ(PlistValue(~0ull), PlistValue::unsignedInteger(~0ull));
    EXPECT_EQ(PlistValue(~0ull).integerValue(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(PlistValue(true).kind(), PlistValue::Kind::Boolean);
    EXPECT_EQ(PlistValue(2.5).kind(), PlistValue::Kind::Real);
}

TEST(PlistXmlParse, ReadsEveryKind) {
    const std::string body =
        "<dict><key>s</key><string>a\r\nb&amp;&lt;&#65;&#x263A;&#x1F600;<![CDATA[<b>&#0;]]><!-- c "
        "-->c&#13;&#x1;</string><key>i</key><integer>-0x10</integer><key>u</key><integer>"
        "18446744073709551615</integer><key>r</key><real>-2.5e10</real><key>t</key><true/><key>f"
        "</key><false/><key>d</key><data>\n\tAAEC\n\tAwQ=</data><key>w</key><date>2000-12-31T23:"
        "59:59.5Z</date><key>a</key><array>&#32;<dict/><string/></array></dict>";
    EXPECT_EQ(PlistValue::parse(document(body)),
              dict({{"s", "a\nb&<A\xE2\x98\xBA\xF0\x9F\x98\x80<b>&#0;c\r\x01"},
                    {"i", PlistValue(std::int64_t{-16})},
                    {"u", PlistValue::unsignedInteger(~0ull)},
                    {"r", PlistValue(-2.5e10)},
                    {"t", PlistValue(true)},
                    {"f", PlistValue(false)},
                    {"d", data({0, 1, 2, 3, 4})},
                    {"w", date(-0.5)},
                    {"a", array({PlistValue::dictionary(), ""})}}));
    // Keys out of order in their first word, in order after it.
    EXPECT_TRUE(PlistValue::parse(document("<dict><key>VolumeB_a</key><false/><key>VolumeA_z</key>"
                                           "<true/></dict>"))["VolumeA_z"]
                    .boolValue());
    // A decoded key outlives the frames that deeper containers move.
    EXPECT_FALSE(PlistValue::parse(document("<dict><key>&amp;</key>" + repeat("<array>", 40) +
                                            repeat("</array>", 40) + "</dict>"))["&"]
                     .isAbsent());
}

TEST(PlistXmlParse, MalformedDocumentsAreRejected) {
    const std::pair<const char*, std::string> cases[] = {
        {"no bytes", ""},
        {"a plist holding no value", document("")},
        {"a plist holding two values", document("<string>v</string><string>v</string>")},
        {"no plist element", "<?xml version=\"1.0\"?><dict/>"},
        {"an element left open", "<plist><array><string>a</string></plist>"},
        {"an element inside a string", document("<string>a<b/>c</string>")},
        {"an element after line ends pugixml shortens",
         document("<string>x\r\n\r\n/<b/></string>")},
        {"text in a boolean", document("<true>yes</true>")},
        {"an integer past 64 bits", document("<integer>18446744073709551616</integer>")},
        {"a fraction in an integer", document("<integer>1.5</integer>")},
        {"two points in a real", document("<real>1.2.3</real>")},
        {"base64 after its padding", document("<data>AA==AAAA</data>")},
        {"a day no calendar has", document("<date>1900-02-29T00:00:00Z</date>")},
        {"a date with a zone offset", document("<date>2023-01-01T00:00:00+01:00</date>")},
        {"a key without a value", document("<dict><key>a</key><true/><key>b</key></dict>")},
        {"a key in an array", document("<array><key>a</key></array>")},
        {"bad deep inside",
         document("<dict><key>a</key><array><integer>x</integer></array></dict>")},
        // pugixml alone would cut the text at the NUL, write invalid UTF-8, or wrap the number
        // round to another character.
        {"a reference to NUL", document("<string>a&#0;b</string>")},
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
        {"a NUL before the last '>'", std::string("<plist><true/></plist") + '\0' + ">"}};
    for (const auto& [why, text] : cases)
        EXPECT_EQ(PlistValue::parse(text), kAbsent) << why;
    EXPECT_FALSE(
        PlistValue::parse(document(repeat("<array>", 512) + "<true/>" + repeat("</array>", 512)))
            .isAbsent());
    EXPECT_EQ(PlistValue::parse(document(repeat("<array>", 513))), kAbsent);
    EXPECT_EQ(PlistValue::parse(document(repeat("<array>", 200000))), kAbsent); // no recursion
}

// Text and names are read a word at a time where they lie in the document's own bytes (and by
// the byte once pugixml has converted UTF-16): a reference, a character past ASCII or the end
// at every offset of the first three words.
TEST(PlistXmlParse, TextOfEveryLengthWithAnythingAtAnyOffset) {
    const std::pair<std::string_view, std::string_view> inserts[] = {
        {"", ""}, {"&amp;", "&"}, {"\xC3\xA9", "\xC3\xA9"}, {"&#xE9;", "\xC3\xA9"}};
    for (std::size_t length = 0; length <= 17; ++length)
        for (std::size_t at = 0; at <= length; ++at)
            for (const auto& [written, read] : inserts) {
                std::string source(length, 'x'), text = source;
                source.insert(at, written);
                text.insert(at, read);
                const std::string body = document("<dict><key>" + source + "</key><string>" +
                                                  source + "</string></dict>");
                EXPECT_EQ(PlistValue::parse(body), dict({{text, text}})) << source;
                EXPECT_EQ(PlistValue::parse(utf16(body)), dict({{text, text}})) << source;
            }
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

// Written as XML, and by libplist in binary, every kind reads back as it was.
TEST(PlistWrite, EscapesAndRoundTripsEveryKind) {
    EXPECT_EQ(PlistValue("A & B <c>\r\x01").xml(),
              document("<string>A &amp; B &lt;c&gt;&#13;&#x1;</string>"));
    const double inf = std::numeric_limits<double>::infinity();
    const PlistValue tree = dict({
        {"Key & <markup>", "a \"q\" 'a' \t\n ]]> \xE2\x80\x94 \xF0\x9F\x98\x80 \x07"},
        {"Integers", array({PlistValue(std::numeric_limits<std::int64_t>::min()), PlistValue(-5),
                            PlistValue(494384795648), PlistValue::unsignedInteger(~0ull)})},
        {"Reals", array({PlistValue(0.1), PlistValue(5e-324), PlistValue(-0.0), PlistValue(-inf),
                         PlistValue(std::nan(""))})},
        {"Flags", array({PlistValue(true), PlistValue(false)})},
        {"Data", array({data({}), data({0}), data({0, 1}), data({0, 1, 2})})},
        {"Dates", array({date(1169176448), date(-63113904000.0 - 86400 * 366)})},
        {"List", array({"disk3s1", dict({{"Roles", PlistValue::array()}}), "", "disk3s1"})},
        {"\xE2\x98\xBA key", array({array({array({"disk3s1"})}), dict({{"\xC3\xA9", true}})})},
    });
    // libplist keeps no fraction of a second and stops at year 9999.
    const PlistValue dates = array({date(-0.25), date(1234.000001), date(315537897600.0)});
    for (const PlistValue& value : {tree, dates})
        EXPECT_EQ(PlistValue::parse(value.xml()), value);
    EXPECT_EQ(PlistValue::parse(libplistBinary(tree)), tree);
}

// Every date the readers accept has a calendar form in the description, as in the XML.
TEST(PlistDescription, DatesWithinRangeAreCalendarTimes) {
    const std::pair<double, const char*> cases[] = {
        {-0.5, "\"2000-12-31 23:59:59 +0000\""},
        {4.5e18, "\"142599325281-08-26 08:00:00 +0000\""},
        {0x1p62, "\"146138514314-06-20 07:45:04 +0000\""},
        {1e19, "1e+19"},
        {std::nan(""), "nan"}};
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(date(seconds).description(), text) << seconds;
}

std::string bigEndian(std::uint64_t value, unsigned width) {
    std::string out;
    for (unsigned i = width; i-- > 0;)
        out.push_back(static_cast<char>(i >= 8 ? 0 : (value >> (8 * i)) & 0xFF));
    return out;
}

// A marker with its count (inline below 15, else an integer object after it).
std::string marked(unsigned type, std::uint64_t count) {
    const std::string marker(1, static_cast<char>((type << 4) | (count < 15 ? count : 0x0F)));
    const unsigned log = count <= 0xFF ? 0 : count <= 0xFFFF ? 1 : 2;
    return count < 15 ? marker
                      : marker + static_cast<char>(0x10 | log) + bigEndian(count, 1u << log);
}

// An array (0xA) or dictionary (0xD, keys then values) of references width bytes wide.
std::string container(unsigned type, const std::vector<std::uint64_t>& refs, unsigned width = 1) {
    std::string out = marked(type, refs.size() / (type == 0xD ? 2 : 1));
    for (auto ref : refs)
        out += bigEndian(ref, width);
    return out;
}

std::string scalar(unsigned marker, std::uint64_t value, unsigned width) {
    return static_cast<char>(marker) + bigEndian(value, width);
}
std::string ascii(std::string_view text) {
    return marked(0x5, text.size()) + std::string(text);
}
std::string utf16(std::u16string_view text) {
    std::string out = marked(0x6, text.size());
    for (char16_t unit : text)
        out += bigEndian(unit, 2);
    return out;
}
const std::string kTrue = "\x09";

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
        out += bigEndian(offset, offsetSize);
    out += std::string(6, '\0') + static_cast<char>(offsetSize) + static_cast<char>(refSize);
    return out + bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(table, 8);
}

// depth nested arrays around true, each holding the next `fanout` times; then `unreachable`.
std::string chain(std::uint64_t depth, std::size_t fanout = 1, std::string unreachable = "") {
    std::vector<std::string> objects;
    for (std::uint64_t i = 0; i < depth; ++i)
        objects.push_back(container(0xA, std::vector<std::uint64_t>(fanout, i + 1), 2));
    objects.push_back(kTrue);
    if (!unreachable.empty())
        objects.push_back(unreachable);
    return build(objects, 2);
}

// Objects libplist does not write, each read by itself, and shared objects read at every
// reference.
TEST(PlistBinary, ReadsEachObjectForm) {
    const std::uint64_t kMax = ~std::uint64_t{0};
    const std::pair<std::vector<std::string>, PlistValue> cases[] = {
        {{scalar(0x22, 0x3FC00000, 4)}, PlistValue(1.5)},        // a 4-byte real
        {{scalar(0x12, 0xFFFFFFFF, 4)}, PlistValue(4294967295)}, // 1, 2 and 4 bytes: unsigned
        {{scalar(0x14, kMax, 8) + std::string(8, '\xFF')}, PlistValue(-1)},
        {{utf16(u"")}, ""},
        // A surrogate pair across the end of the converter's first 1024 units.
        {{utf16(std::u16string(1023, u'\u263A') + u"\U0001F600a")},
         repeat("\xE2\x98\xBA", 1023) + "\xF0\x9F\x98\x80" + "a"},
        {{container(0xA, std::vector<std::uint64_t>(16, 1)), ascii("x")},
         PlistValue(PlistValue::Array(16, "x"))},
        // A later duplicate key wins; one array under two keys and twice in an array: a copy at
        // each place.
        {{container(0xD, {1, 1, 2, 3}), ascii("k"), kTrue, "\x08"}, dict({{"k", false}})},
        {{container(0xD, {1, 2, 3, 3}), ascii("a"), ascii("b"), container(0xA, {4, 5}), ascii("x"),
          kTrue},
         dict({{"a", array({"x", true})}, {"b", array({"x", true})}})},
        {{container(0xA, {1, 1}), container(0xA, {2}), container(0xA, {})},
         array({array({PlistValue::array()}), array({PlistValue::array()})})}};
    for (std::size_t row = 0; row < std::size(cases); ++row)
        EXPECT_EQ(PlistValue::parse(build(cases[row].first)), cases[row].second) << row;
    // The reader took only widths of 1, 2, 4 and 8, so every list libplist writes past 64 KiB
    // (3-byte offsets) read as absent.
    const auto twoStrings = [](unsigned offsetWidth, unsigned refWidth) {
        return build({container(0xA, {1, 2}, refWidth), ascii("x"), ascii("bc")}, refWidth,
                     offsetWidth);
    };
    for (unsigned offsetWidth = 1; offsetWidth <= 8; ++offsetWidth)
        for (unsigned refWidth = 1; refWidth <= 8; ++refWidth)
            EXPECT_EQ(PlistValue::parse(twoStrings(offsetWidth, refWidth)), array({"x", "bc"}))
                << offsetWidth << ", " << refWidth;
    EXPECT_EQ(PlistValue::parse(twoStrings(9, 1)), kAbsent);
    EXPECT_EQ(PlistValue::parse(twoStrings(1, 0)), kAbsent);
    EXPECT_FALSE(PlistValue::parse(chain(512)).isAbsent());
}

// Hostile or malformed files read as nothing, and quickly, whatever they would expand to.
TEST(PlistBinary, MalformedFilesAreRejected) {
    const std::string loneHigh("\x61\xD8\x3D", 3);
    std::string rootPastTable = build({container(0xA, {1}), ascii("x")});
    rootPastTable[rootPastTable.size() - 32 - 2] = '\xFF'; // the root's offset
    const std::pair<const char*, std::string> cases[] = {
        {"a lone high surrogate", build({loneHigh})},
        {"a pair, then a lone low surrogate",
         build({std::string("\x63\xD8\x3D\xDE\x00\xDE\x00", 7)})},
        {"UTF-16 with a NUL", build({std::string("\x62\xD8\x3D\x00\x41", 5)})},
        {"a key with a lone surrogate", build({container(0xD, {1, 2}), loneHigh, kTrue})},
        {"ASCII past 127", build({"\x51\x80"})},
        {"ASCII with a NUL", build({ascii(std::string("a\0b", 3))})},
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
         build({container(0xD, {1, 2}), ascii("k"), container(0xA, {0})})},
        {"a reference past the objects", build({container(0xA, {1, 9}), ascii("x")})},
        {"a root past the objects", rootPastTable},
        // 2^200 nodes; unreachable padding raises the node budget, so that building the
        // expansion until the budget stops it would take seconds.
        {"an expansion past the budget",
         chain(199, 2, marked(0x4, 8 << 20) + std::string(8 << 20, '\0'))},
        {"513 containers deep", chain(513)},
        {"no trailer", "bplist00"},
        {"another version", "bplist01" + build({kTrue}).substr(8)}};
    for (const auto& [why, bytes] : cases) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PlistValue::parse(bytes), kAbsent) << why;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << why;
    }
}

} // namespace
