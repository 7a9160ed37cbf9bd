#include <VivoziZevidodirid/PlistValue.h>
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

const PlistValue kAbsent;

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
    const std::string cases[] = {
        "",
        document(""),
        document("<string>v</string><string>v</string>"),
        "<?xml version=\"1.0\"?><dict/>",
        "<plist><array><string>a</string></plist>",
        document("<string>a<b/>c</string>"),
        document("<true>yes</true>"),
        document("<integer>18446744073709551616</integer>"),
        document("<integer>1.5</integer>"),
        document("<real>1.2.3</real>"),
        document("<data>AA==AAAA</data>"),
        document("<date>1900-02-29T00:00:00Z</date>"),
        document("<date>2023-01-01T00:00:00+01:00</date>"),
        document("<dict><key>a</key><true/><key>b</key></dict>"),
        document("<array><key>a</key></array>"),
        document("<dict><key>a</key><array><integer>x</integer></array></dict>"),
        // References XML forbids, and bytes that are not UTF-8: the text would be cut at the NUL,
        // hold invalid UTF-8, or (the number wrapped) another character.
        document("<string>a&#0;b</string>"),
        document("<dict><key>k&#x00;</key><true/></dict>"),
        document("<array>&#0;</array>"),
        document("<string>&#xD800;</string>"),
        document("<string>&#1114112;</string>"),
        document("<string>&#99999999999999999999;</string>"),
        document("<string>\xC3(</string>"),
    };
    for (const auto& text : cases)
        EXPECT_EQ(PlistValue::parse(text), kAbsent) << text;
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
        {"String", "h\xC3\xA9llo \xE2\x98\xBA"},
        {"Large", PlistValue(std::int64_t{494384795648})},
        {"Real", PlistValue(0.1)},
        {"Data", data({0, 1, 2, 3, 4})},
        {"Date", date(1169176448)},
        {"List", array({"disk3s1", dict({{"Roles", PlistValue::array()}}), ""})},
    });
    EXPECT_EQ(PlistValue::parse(libplistBinary(tree)), tree);
}

void putBigEndian(std::string& out, std::uint64_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;)
        out.push_back(static_cast<char>(i >= 8 ? 0 : (value >> (8 * i)) & 0xFF));
}

// An array (0xA) or dictionary (0xD, keys then values) of references width bytes wide.
std::string container(unsigned type, const std::vector<std::uint64_t>& refs, unsigned width = 1) {
    const std::uint64_t count = refs.size() / (type == 0xD ? 2 : 1);
    std::string out(1, static_cast<char>((type << 4) | (count < 15 ? count : 0x0F)));
    if (count >= 15) {
        const unsigned log = count <= 0xFF ? 0 : count <= 0xFFFF ? 1 : 2;
        out.push_back(static_cast<char>(0x10 | log));
        putBigEndian(out, count, 1u << log);
    }
    for (auto ref : refs)
        putBigEndian(out, ref, width);
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

// Strings no text can be: a lone UTF-16 surrogate (libplist drops it), ASCII with a byte past 127
// or a NUL (libplist copies the one and cuts at the other).
TEST(PlistBinary, StringsThatAreNoTextAreRejected) {
    const std::string loneHigh("\x61\xD8\x3D", 3), pairThenLone("\x63\xD8\x3D\xDE\x00\xDE\x00", 7);
    const std::string cases[] = {
        build({loneHigh}),
        build({pairThenLone}),
        build({std::string("\x62\xD8\x3D\x00\x41", 5)}),
        build({container(0xD, {1, 2}), loneHigh, kTrue}),
        build({"\x51\x80"}),
        build({std::string("\x53"
                           "a\0b",
                           4)}),
    };
    for (const auto& bytes : cases)
        EXPECT_EQ(PlistValue::parse(bytes), kAbsent) << &bytes - cases;
    EXPECT_EQ(PlistValue::parse(build({std::string("\x62\xD8\x3D\xDE\x00", 5)})),
              PlistValue("\xF0\x9F\x98\x80"));
}

// Hostile object graphs read as nothing, and quickly.
TEST(PlistBinary, HostileGraphsAreRejected) {
    std::string rootPastTable = build({container(0xA, {1}), kAsciiX});
    rootPastTable[rootPastTable.size() - 32 - 2] = '\xFF';
    std::vector<std::string> expansion; // 2^200 nodes: each level holds the next twice
    for (std::uint64_t i = 0; i < 199; ++i)
        expansion.push_back(container(0xA, {i + 1, i + 1}));
    expansion.push_back(kTrue);
    auto chain = [](std::uint64_t depth) { // depth nested arrays around true
        std::vector<std::string> objects;
        for (std::uint64_t i = 0; i < depth; ++i)
            objects.push_back(container(0xA, {i + 1}, 2));
        objects.push_back(kTrue);
        return build(objects, 2);
    };
    const std::string cases[] = {
        build({container(0xA, {0})}),
        build({container(0xD, {1, 2}), "\x51k", container(0xA, {0})}),
        build({container(0xA, {1, 9}), kAsciiX}),
        rootPastTable,
        build(expansion),
        chain(513),
    };
    for (const auto& bytes : cases) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PlistValue::parse(bytes), kAbsent) << &bytes - cases;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
    EXPECT_FALSE(PlistValue::parse(chain(512)).isAbsent());
}

} // namespace
