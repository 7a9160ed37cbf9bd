#include "PlistTestSupport.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <plist/plist.h>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace plisttest;

// tree as libplist writes it, in binary (sharing equal strings) or in XML.
std::string libplistForm(const PlistValue& tree, bool binary) {
    const std::string xml = tree.xml();
    plist_t node = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &node);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    binary ? plist_to_bin(node, &bytes, &length) : plist_to_xml(node, &bytes, &length);
    plist_free(node);
    std::string result(bytes ? bytes : "", bytes ? length : 0);
    binary ? plist_to_bin_free(bytes) : plist_to_xml_free(bytes);
    return result;
}

void putBigEndian(std::string& out, std::uint64_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;)
        out.push_back(static_cast<char>(i >= 8 ? 0 : (value >> (8 * i)) & 0xFF));
}

std::string countedMarker(unsigned type, std::uint64_t count) {
    std::string out(1, static_cast<char>((type << 4) | (count < 15 ? count : 0x0F)));
    if (count >= 15) {
        const unsigned log = count <= 0xFF ? 0 : count <= 0xFFFF ? 1 : 2;
        out.push_back(static_cast<char>(0x10 | log));
        putBigEndian(out, count, 1u << log);
    }
    return out;
}

std::string raw(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes)
        out.push_back(static_cast<char>(b));
    return out;
}

// An object of a marker byte and value in width bytes; a 16-byte integer of two halves.
std::string fixed(char marker, std::uint64_t value, unsigned width) {
    std::string out(1, marker);
    putBigEndian(out, value, width);
    return out;
}
std::string fixed(char marker, double value) {
    return fixed(marker, std::bit_cast<std::uint64_t>(value), 8);
}
std::string integer16(std::uint64_t high, std::uint64_t low) {
    return fixed('\x14', high, 8) + fixed('\0', low, 8).substr(1);
}

using Objects = std::vector<std::string>;

// An array (0xA) or dictionary (0xD, keys then values) of references width bytes wide.
std::string container(unsigned type, const std::vector<std::uint64_t>& refs, unsigned width = 1) {
    std::string out = countedMarker(type, refs.size() / (type == 0xD ? 2 : 1));
    for (auto ref : refs)
        putBigEndian(out, ref, width);
    return out;
}

std::string ascii(std::string_view text) {
    return countedMarker(0x5, text.size()) + std::string(text);
}

// A file of the objects, the root first. An offset width of 0 picks the narrowest of 1, 2, 4.
std::string build(const Objects& objects, unsigned refSize = 1, unsigned offsetSize = 0) {
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

TEST(PlistBinary, HandMadeScalars) {
    const PlistValue kAbsent;
    const std::uint64_t kOnes = ~std::uint64_t{0};
    const struct {
        const char* name;
        std::string object;
        PlistValue expected; // absent: the parse must be absent
    } cases[] = {
        {"1-byte integer is unsigned", fixed('\x10', 0xFF, 1), integer(255)},
        {"4-byte integer", fixed('\x12', 0xFFFFFFFF, 4), integer(4294967295)},
        {"8-byte integer is signed", fixed('\x13', kOnes, 8), integer(-1)},
        {"16-byte 2^64-1 is unsigned", integer16(0, kOnes),
         PlistValue::unsignedInteger(18446744073709551615ull)},
        {"16-byte small", integer16(0, 7), integer(7)},
        {"16-byte negative", integer16(kOnes, kOnes - 4), integer(-5)},
        {"16-byte 2^64 out of range", integer16(1, 0), kAbsent},
        {"16-byte below INT64_MIN", integer16(kOnes, kOnes >> 1), kAbsent},
        {"32-byte integer", std::string(1, '\x15') + std::string(32, '\0'), kAbsent},
        {"float", fixed('\x22', 0x3F000000, 4), real(0.5)},
        {"double", fixed('\x23', 0.1), real(0.1)},
        {"2-byte real", fixed('\x21', 0, 2), kAbsent},
        {"date 1900, before 32-bit seconds", fixed('\x33', -3187296000.0), date(-3187296000.0)},
        {"date with fraction", fixed('\x33', 0.25), date(0.25)},
        {"date at -2^62 seconds", fixed('\x33', -0x1p62), date(-0x1p62)},
        {"date beyond 2^62 seconds", fixed('\x33', 1e19), kAbsent},
        {"nan date", fixed('\x33', std::nan("")), kAbsent},
        {"4-byte date", fixed('\x32', 0, 4), kAbsent},
        {"true", raw({0x09}), PlistValue(true)},
        {"false", raw({0x08}), PlistValue(false)},
        {"null", raw({0x00}), kAbsent},
        {"data", raw({0x43, 1, 2, 3}), data({1, 2, 3})},
        {"empty data", raw({0x40}), data({})},
        {"ascii", ascii("hi"), "hi"},
        {"empty ascii", ascii(""), ""},
        {"utf-16", raw({0x62, 0x00, 'h', 0x26, 0x3A}), "h\xE2\x98\xBA"},
        {"utf-16 with a NUL", raw({0x63, 0x00, 'a', 0x00, 0x00, 0x00, 'b'}),
         PlistValue(std::string("a\0b", 3))},
        {"utf-16 surrogate pair", raw({0x62, 0xD8, 0x3D, 0xDE, 0x00}), "\xF0\x9F\x98\x80"},
        {"count in its own 1-byte integer", ascii(std::string(20, 'x')), std::string(20, 'x')},
        {"count written in 2 bytes", raw({0x5F, 0x11, 0x00, 0x02, 'a', 'b'}), "ab"},
        {"count written in 2^15 bytes", raw({0x5F, 0x1F, 0x00, 0x02, 'a', 'b'}), kAbsent},
        {"count not an integer", raw({0x5F, 0x20, 0x02, 'a', 'b'}), kAbsent},
        {"string past its end", raw({0x55, 'a', 'b'}), kAbsent},
        {"uid", raw({0x80, 0x01}), kAbsent},
        {"set", raw({0xC0}), kAbsent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // As the root, then inside an array: two conversion paths.
        EXPECT_EQ(PlistValue::parse(build({c.object})), c.expected);
        EXPECT_EQ(PlistValue::parse(build({container(0xA, {1}), c.object})),
                  c.expected.isAbsent() ? kAbsent : array({c.expected}));
    }
}

// Object graphs that read as expected, or as nothing (an absent expected value), and quickly.
TEST(PlistBinary, ObjectGraphs) {
    const PlistValue kAbsent;
    const std::string kTrue = raw({0x09});
    struct Case {
        std::string name;
        Objects objects; // the root first
        PlistValue expected;
        unsigned refSize = 1;
        unsigned offsetSize = 0;
    };
    std::vector<Case> cases = {
        {"dictionary sorted, the later duplicate wins",
         {container(0xD, {1, 2, 1, 3, 4, 5}), ascii("b"), ascii("a"), fixed('\x13', -7, 8),
          ascii("x"), fixed('\x13', 2, 8)},
         dict({{"a", "x"}, {"b", integer(2)}})},
        {"one object referenced 20 times",
         {container(0xA, std::vector<std::uint64_t>(20, 1)), ascii("System")},
         PlistValue(PlistValue::Array(20, PlistValue("System")))},
        {"utf-16 key",
         {container(0xD, {1, 2}), raw({0x61, 0, 'k'}), kTrue},
         dict({{"k", PlistValue(true)}})},
        {"array holding itself", {container(0xA, {0})}, kAbsent},
        {"cycle through a dictionary",
         {container(0xD, {1, 2}), ascii("k"), container(0xA, {0})},
         kAbsent},
        {"dictionary as its own key", {container(0xD, {0, 0})}, kAbsent},
        {"integer key", {container(0xD, {1, 2}), fixed('\x13', 1, 8), ascii("v")}, kAbsent},
        {"utf-16 key with a NUL, on which libplist 2.2 aborts",
         {container(0xD, {1, 2}), raw({0x62, 0, 'k', 0, 0}), kTrue},
         kAbsent},
        {"reference past the objects", {container(0xA, {1, 9}), ascii("x")}, kAbsent},
        {"array count running into the offset table",
         {countedMarker(0xA, 14) + raw({1}), ascii("x")},
         kAbsent},
        {"string bytes beyond what the input accounts for",
         {container(0xA, std::vector<std::uint64_t>(8000, 1)), ascii(std::string(60000, 'x'))},
         kAbsent},
    };
    {
        Case twice{"2^200 nodes: each level holds the next twice", {}, kAbsent};
        for (std::uint64_t i = 0; i < 199; ++i)
            twice.objects.push_back(container(0xA, {i + 1, i + 1}));
        twice.objects.push_back(kTrue);
        cases.push_back(twice);
    }
    {
        Case deep{"deep then wide: libplist scans 500 levels for each of 200000 elements",
                  {},
                  kAbsent,
                  4};
        for (std::uint64_t i = 0; i < 500; ++i)
            deep.objects.push_back(container(0xA, {i + 1}, 4));
        deep.objects.push_back(container(0xA, std::vector<std::uint64_t>(200000, 501), 4));
        deep.objects.push_back(kTrue);
        cases.push_back(deep);
    }
    // Offsets or references of 2 to 8 bytes (9 is too wide), with indices that need 2.
    PlistValue::Array numbers;
    std::vector<std::uint64_t> refs;
    for (int i = 0; i < 300; ++i) {
        numbers.emplace_back(std::int64_t{i});
        refs.push_back(i + 1);
    }
    for (unsigned width = 2; width <= 9; ++width) {
        Objects objects{container(0xA, refs, 2)};
        for (int i = 0; i < 300; ++i)
            objects.push_back(fixed('\x13', i, 8));
        const PlistValue expected = width == 9 ? kAbsent : PlistValue(numbers);
        cases.push_back({"offset width " + std::to_string(width), objects, expected, 2, width});
        objects[0] = container(0xA, refs, width);
        cases.push_back({"reference width " + std::to_string(width), objects, expected, width});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string bytes = build(c.objects, c.refSize, c.offsetSize);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PlistValue::parse(bytes), c.expected);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

TEST(PlistBinary, NestingDepthLimit) {
    // depth nested arrays around true. Shared: the root holds the inner part itself first, then
    // one more array around it, so the deepest path runs through an object already measured.
    auto chain = [](std::uint64_t depth, bool shared) {
        Objects objects;
        if (shared)
            objects = {container(0xA, {2, 1}, 4), container(0xA, {2}, 4)};
        for (std::uint64_t i = objects.size(); i < depth; ++i)
            objects.push_back(container(0xA, {i + 1}, 4));
        objects.push_back(raw({0x09}));
        return build(objects, 4);
    };
    const PlistValue at512 = PlistValue::parse(chain(512, false));
    const PlistValue* cursor = nullptr;
    EXPECT_EQ(arrayNesting(at512, &cursor), 512u);
    EXPECT_EQ(cursor->boolean(), true);
    EXPECT_TRUE(PlistValue::parse(chain(513, false)).isAbsent());
    EXPECT_TRUE(PlistValue::parse(chain(100000, false)).isAbsent());
    EXPECT_FALSE(PlistValue::parse(chain(512, true)).isAbsent());
    EXPECT_TRUE(PlistValue::parse(chain(513, true)).isAbsent());
}

TEST(PlistBinary, BrokenTrailers) {
    const std::string good = build({container(0xA, {1}), ascii("x")});
    ASSERT_EQ(PlistValue::parse(good), array({"x"}));
    const std::uint64_t table = good.size() - 32 - 2;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

    // Trailer fields: offset width at 6, reference width at 7, then objects, root, table.
    const struct {
        const char* name;
        unsigned at;
        unsigned width;
        std::uint64_t value;
    } cases[] = {
        {"no objects", 8, 8, 0},
        {"truncated offset table", 8, 8, 3},
        {"huge object count", 8, 8, kMax},
        {"object count overflowing the table size", 8, 8, (1ull << 63) + 1},
        {"root out of range", 16, 8, 2},
        {"offset width 0", 6, 1, 0},
        {"reference width 0", 7, 1, 0},
        {"table in the header", 24, 8, 4},
        {"table in the trailer", 24, 8, good.size() - 16},
        {"huge table offset", 24, 8, kMax},
        {"table one byte late", 24, 8, table + 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = good;
        std::string encoded;
        putBigEndian(encoded, c.value, c.width);
        bytes.replace(bytes.size() - 32 + c.at, c.width, encoded);
        EXPECT_TRUE(PlistValue::parse(bytes).isAbsent());
    }
    // The root's offset pointing into the header, at the table, or past it.
    for (const std::uint64_t offset : {std::uint64_t{7}, table, std::uint64_t{255}}) {
        SCOPED_TRACE(offset);
        std::string bytes = good;
        bytes[table] = static_cast<char>(offset);
        EXPECT_TRUE(PlistValue::parse(bytes).isAbsent());
    }
    // An offset table listing one object many times: fine once, not beyond the object bytes.
    auto repeated = [](std::uint64_t objects) {
        std::string bytes = "bplist00\x09" + std::string(1000, '\x08') + std::string(6, '\0');
        bytes += raw({1, 1});
        for (const std::uint64_t field : {objects, std::uint64_t{0}, std::uint64_t{9}})
            putBigEndian(bytes, field, 8); // objects, root, offset table
        return bytes;
    };
    EXPECT_EQ(PlistValue::parse(repeated(1)), PlistValue(true));
    EXPECT_TRUE(PlistValue::parse(repeated(1000)).isAbsent());

    EXPECT_TRUE(PlistValue::parse("bplist00").isAbsent());
    for (std::size_t length = 0; length < good.size(); ++length)
        EXPECT_TRUE(PlistValue::parse(good.substr(0, length)).isAbsent()) << length;
}

// Whether a string or key somewhere holds a NUL byte (which XML cannot carry).
bool holdsNul(const PlistValue& value) {
    if (const auto text = value.stringValue())
        return text->find('\0') != std::string_view::npos;
    if (const auto* elements = value.arrayElements())
        for (const auto& element : *elements)
            if (holdsNul(element))
                return true;
    if (const auto* entries = value.dictionaryEntries())
        for (const auto& [key, element] : *entries)
            if (key.find('\0') != std::string::npos || holdsNul(element))
                return true;
    return false;
}

TEST(PlistBinary, LibplistOutputAndMutationsOfIt) {
    const PlistValue tree = dict({
        {"String", "h\xC3\xA9llo \xE2\x98\xBA"},
        {"Empty", ""},
        {"Large", integer(494384795648)},
        {"Negative", integer(-5)},
        {"Real", real(0.1)},
        {"True", PlistValue(true)},
        {"False", PlistValue(false)},
        {"Data", data({0, 1, 2, 3, 4})},
        {"Date", date(1169176448)},
        {"List", array({"disk3s1", dict({{"Roles", PlistValue::array()}}), "disk3s1"})},
        {"EmptyDict", PlistValue::dictionary()},
    });
    const std::string good = libplistForm(tree, true);
    ASSERT_TRUE(good.starts_with("bplist00"));
    ASSERT_EQ(PlistValue::parse(good), tree);
    EXPECT_EQ(PlistValue::parse(libplistForm(tree, false)), tree);

    std::mt19937 random(99);
    for (int round = 0; round < 8000; ++round) {
        std::string bytes = good;
        for (int e = 1 + static_cast<int>(random() % 3); e > 0; --e) {
            const std::size_t at = 8 + random() % (bytes.size() - 8);
            bytes[at] = static_cast<char>(random() % 4 == 0 ? random() % 256
                                                            : bytes[at] ^ (1u << (random() % 8)));
        }
        const PlistValue parsed = PlistValue::parse(bytes);
        if (!parsed.isAbsent() && !holdsNul(parsed)) {
            EXPECT_EQ(PlistValue::parse(parsed.xml()), parsed) << parsed.description();
        }
    }
}

} // namespace
