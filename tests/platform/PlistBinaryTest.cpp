#include "PlistTestSupport.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <plist/plist.h>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace plisttest;

// --- libplist-made fixtures ---

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using LibPlist = std::unique_ptr<void, PlistFree>;

std::string toBinary(plist_t node) {
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    std::string result(bytes ? bytes : "", bytes ? length : 0);
    plist_to_bin_free(bytes);
    return result;
}

std::string toXml(plist_t node) {
    char* text = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(node, &text, &length);
    std::string result(text ? text : "", text ? length : 0);
    plist_to_xml_free(text);
    return result;
}

TEST(PlistBinary, LibplistFixtureEveryKind) {
    LibPlist root(plist_new_dict());
    plist_dict_set_item(root.get(), "String", plist_new_string("hello"));
    plist_dict_set_item(root.get(), "Unicode", plist_new_string("h\xC3\xA9llo \xE2\x98\xBA"));
    plist_dict_set_item(root.get(), "Empty", plist_new_string(""));
    plist_dict_set_item(root.get(), "Integer", plist_new_uint(42));
    plist_dict_set_item(root.get(), "Large", plist_new_uint(494384795648ull));
    plist_dict_set_item(root.get(), "Negative", plist_new_uint(static_cast<std::uint64_t>(-5)));
    plist_dict_set_item(root.get(), "Real", plist_new_real(0.1));
    plist_dict_set_item(root.get(), "True", plist_new_bool(1));
    plist_dict_set_item(root.get(), "False", plist_new_bool(0));
    const char bytes[] = {0, 1, 2, 3, 4};
    plist_dict_set_item(root.get(), "Data", plist_new_data(bytes, sizeof bytes));
    plist_dict_set_item(root.get(), "Date", plist_new_date(1169176448, 0));
    plist_t list = plist_new_array();
    plist_array_append_item(list, plist_new_string("disk3s1"));
    plist_t inner = plist_new_dict();
    plist_dict_set_item(inner, "Roles", plist_new_array());
    plist_array_append_item(list, inner);
    plist_array_append_item(list, plist_new_string("disk3s1")); // shared by the writer
    plist_dict_set_item(root.get(), "List", list);
    plist_dict_set_item(root.get(), "EmptyDict", plist_new_dict());

    const PlistValue expected = dict({
        {"String", "hello"},
        {"Unicode", "h\xC3\xA9llo \xE2\x98\xBA"},
        {"Empty", ""},
        {"Integer", integer(42)},
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
    const std::string binary = toBinary(root.get());
    ASSERT_TRUE(binary.starts_with("bplist00"));
    EXPECT_EQ(PlistValue::parse(binary), expected);
    // The same tree in libplist's XML reads the same.
    EXPECT_EQ(PlistValue::parse(toXml(root.get())), expected);
}

// --- hand-made binary property lists ---

void putBigEndian(std::string& out, std::uint64_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::string countedMarker(unsigned type, std::uint64_t count) {
    std::string out;
    if (count < 15) {
        out.push_back(static_cast<char>((type << 4) | count));
    } else {
        out.push_back(static_cast<char>((type << 4) | 0x0F));
        const unsigned log = count <= 0xFF ? 0 : count <= 0xFFFF ? 1 : 2;
        out.push_back(static_cast<char>(0x10 | log));
        putBigEndian(out, count, 1u << log);
    }
    return out;
}

class Builder {
public:
    explicit Builder(unsigned refSize = 1) : refSize_(refSize) {}

    std::uint64_t add(std::string object) {
        objects_.push_back(std::move(object));
        return objects_.size() - 1;
    }
    std::uint64_t ascii(std::string_view text) {
        return add(countedMarker(0x5, text.size()) + std::string(text));
    }
    std::uint64_t integer8(std::int64_t value) {
        std::string out(1, '\x13');
        putBigEndian(out, static_cast<std::uint64_t>(value), 8);
        return add(out);
    }
    std::uint64_t array(const std::vector<std::uint64_t>& refs) {
        std::string out = countedMarker(0xA, refs.size());
        for (auto ref : refs)
            putBigEndian(out, ref, refSize_);
        return add(out);
    }
    std::uint64_t dictionary(const std::vector<std::uint64_t>& keys,
                             const std::vector<std::uint64_t>& values) {
        std::string out = countedMarker(0xD, keys.size());
        for (auto ref : keys)
            putBigEndian(out, ref, refSize_);
        for (auto ref : values)
            putBigEndian(out, ref, refSize_);
        return add(out);
    }
    // Reserves an index to fill later (for forward references).
    std::uint64_t reserve() { return add(""); }
    void set(std::uint64_t index, std::string object) { objects_[index] = std::move(object); }
    std::string arrayObject(const std::vector<std::uint64_t>& refs) const {
        std::string out = countedMarker(0xA, refs.size());
        for (auto ref : refs)
            putBigEndian(out, ref, refSize_);
        return out;
    }

    std::string build(std::uint64_t root) const {
        std::string out = "bplist00";
        std::vector<std::uint64_t> offsets;
        for (const auto& object : objects_) {
            offsets.push_back(out.size());
            out += object;
        }
        const std::uint64_t table = out.size();
        const unsigned offsetSize = table <= 0xFF ? 1 : table <= 0xFFFF ? 2 : 4;
        for (auto offset : offsets)
            putBigEndian(out, offset, offsetSize);
        out.append(6, '\0');
        out.push_back(static_cast<char>(offsetSize));
        out.push_back(static_cast<char>(refSize_));
        putBigEndian(out, objects_.size(), 8);
        putBigEndian(out, root, 8);
        putBigEndian(out, table, 8);
        return out;
    }

private:
    unsigned refSize_;
    std::vector<std::string> objects_;
};

std::string raw(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes)
        out.push_back(static_cast<char>(b));
    return out;
}

std::string realObject(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, 8);
    std::string out(1, '\x23');
    putBigEndian(out, bits, 8);
    return out;
}

std::string dateObject(double value) {
    std::string out = realObject(value);
    out[0] = '\x33';
    return out;
}

// Trailer fields, counted from the end of the bytes.
enum class Field { OffsetSize, RefSize, Objects, Root, Table };
void patch(std::string& bytes, Field field, std::uint64_t value) {
    const std::size_t trailer = bytes.size() - 32;
    switch (field) {
    case Field::OffsetSize:
        bytes[trailer + 6] = static_cast<char>(value);
        return;
    case Field::RefSize:
        bytes[trailer + 7] = static_cast<char>(value);
        return;
    default: {
        const std::size_t at = trailer + (field == Field::Objects ? 8
                                          : field == Field::Root  ? 16
                                                                  : 24);
        std::string encoded;
        putBigEndian(encoded, value, 8);
        bytes.replace(at, 8, encoded);
        return;
    }
    }
}

TEST(PlistBinary, HandMadeScalars) {
    struct Case {
        const char* name;
        std::string object;
        PlistValue expected; // absent: the parse must be absent
    };
    const PlistValue kAbsent;
    const std::vector<Case> cases = {
        {"1-byte integer is unsigned", raw({0x10, 0xFF}), integer(255)},
        {"2-byte integer", raw({0x11, 0xFF, 0xFF}), integer(65535)},
        {"4-byte integer", raw({0x12, 0xFF, 0xFF, 0xFF, 0xFF}), integer(4294967295)},
        {"8-byte integer is signed", raw({0x13, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
         integer(-1)},
        {"INT64_MIN", raw({0x13, 0x80, 0, 0, 0, 0, 0, 0, 0}),
         integer(std::numeric_limits<std::int64_t>::min())},
        {"16-byte 2^64-1 is unsigned",
         raw({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}),
         PlistValue::unsignedInteger(18446744073709551615ull)},
        {"16-byte 2^63", raw({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0}),
         PlistValue::unsignedInteger(9223372036854775808ull)},
        {"16-byte small", raw({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7}), integer(7)},
        {"16-byte negative",
         raw({0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
              0xFF, 0xFF, 0xFB}),
         integer(-5)},
        {"16-byte 2^64 out of range", raw({0x14, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}),
         kAbsent},
        {"16-byte below INT64_MIN",
         raw({0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF,
              0xFF, 0xFF, 0xFF}),
         kAbsent},
        {"32-byte integer", std::string(1, '\x15') + std::string(32, '\0'), kAbsent},
        {"float", raw({0x22, 0x3F, 0x00, 0x00, 0x00}), real(0.5)},
        {"double", realObject(0.1), real(0.1)},
        {"nan", realObject(std::nan("")), real(std::nan(""))},
        {"2-byte real", raw({0x21, 0, 0}), kAbsent},
        {"date 1900", dateObject(-3187296000.0), date(-3187296000.0)},
        {"date 3000", dateObject(31525372800.0), date(31525372800.0)},
        {"date with fraction", dateObject(0.25), date(0.25)},
        {"4-byte date", raw({0x32, 0, 0, 0, 0}), kAbsent},
        {"nan date", dateObject(std::nan("")), kAbsent},
        {"infinite date", dateObject(std::numeric_limits<double>::infinity()), kAbsent},
        {"date beyond 2^62 seconds", dateObject(1e19), kAbsent},
        {"date at -2^62 seconds", dateObject(-4611686018427387904.0), date(-4611686018427387904.0)},
        {"true", raw({0x09}), PlistValue(true)},
        {"false", raw({0x08}), PlistValue(false)},
        {"null", raw({0x00}), kAbsent},
        {"fill", raw({0x0F}), kAbsent},
        {"data", raw({0x43, 1, 2, 3}), data({1, 2, 3})},
        {"empty data", raw({0x40}), data({})},
        {"ascii", raw({0x52, 'h', 'i'}), "hi"},
        {"empty ascii", raw({0x50}), ""},
        {"utf-16", raw({0x62, 0x00, 'h', 0x26, 0x3A}), "h\xE2\x98\xBA"},
        {"utf-16 with a NUL", raw({0x63, 0x00, 'a', 0x00, 0x00, 0x00, 'b'}),
         PlistValue(std::string("a\0b", 3))},
        {"utf-16 surrogate pair", raw({0x62, 0xD8, 0x3D, 0xDE, 0x00}), "\xF0\x9F\x98\x80"},
        {"long ascii with its count", countedMarker(0x5, 20) + std::string(20, 'x'),
         std::string(20, 'x')},
        {"count written in 2 bytes", raw({0x5F, 0x11, 0x00, 0x02, 'a', 'b'}), "ab"},
        {"count written in 2^15 bytes", raw({0x5F, 0x1F, 0x00, 0x02, 'a', 'b'}), kAbsent},
        {"count not an integer", raw({0x5F, 0x20, 0x02, 'a', 'b'}), kAbsent},
        {"string past its end", raw({0x55, 'a', 'b'}), kAbsent},
        {"uid", raw({0x80, 0x01}), kAbsent},
        {"reserved 0x70", raw({0x70}), kAbsent},
        {"reserved 0x90", raw({0x90}), kAbsent},
        {"set", raw({0xC0}), kAbsent},
        {"reserved 0xF0", raw({0xF0}), kAbsent},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Builder builder;
        const auto root = builder.add(c.object);
        const PlistValue parsed = PlistValue::parse(builder.build(root));
        if (c.expected.isAbsent()) {
            EXPECT_TRUE(parsed.isAbsent()) << parsed.description();
        } else {
            EXPECT_EQ(parsed, c.expected) << parsed.description();
        }
        // Inside an array as well.
        Builder nested;
        const auto element = nested.add(c.object);
        const PlistValue inArray = PlistValue::parse(nested.build(nested.array({element})));
        if (c.expected.isAbsent()) {
            EXPECT_TRUE(inArray.isAbsent());
        } else {
            EXPECT_EQ(inArray, array({c.expected}));
        }
    }
    // The unsigned mark from a 16-byte integer.
    Builder builder;
    const auto root = builder.add(
        raw({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    const PlistValue big = PlistValue::parse(builder.build(root));
    ASSERT_NE(big.integer(), nullptr);
    EXPECT_TRUE(big.integer()->isUnsigned);
}

TEST(PlistBinary, HandMadeContainers) {
    {
        Builder b;
        const auto k1 = b.ascii("b"), k2 = b.ascii("a"), v = b.integer8(-7), s = b.ascii("x");
        const auto root = b.dictionary({k1, k2}, {v, s});
        EXPECT_EQ(PlistValue::parse(b.build(root)), dict({{"a", "x"}, {"b", integer(-7)}}));
    }
    {
        // Duplicate keys: the later wins.
        Builder b;
        const auto k = b.ascii("k"), one = b.integer8(1), two = b.integer8(2);
        const auto root = b.dictionary({k, k}, {one, two});
        EXPECT_EQ(PlistValue::parse(b.build(root)), dict({{"k", integer(2)}}));
    }
    {
        // Shared references, as Apple's writer makes them, and a count of 20.
        Builder b;
        const auto s = b.ascii("System");
        const auto root = b.array(std::vector<std::uint64_t>(20, s));
        EXPECT_EQ(PlistValue::parse(b.build(root)),
                  PlistValue(PlistValue::Array(20, PlistValue("System"))));
    }
    {
        // Two-byte references.
        Builder b(2);
        std::vector<std::uint64_t> refs;
        for (int i = 0; i < 300; ++i)
            refs.push_back(b.integer8(i));
        const auto root = b.array(refs);
        const PlistValue parsed = PlistValue::parse(b.build(root));
        ASSERT_EQ(parsed.count(), 300u);
        EXPECT_EQ(parsed[299].integerValue(), 299);
    }
    {
        // A UTF-16 key.
        Builder b;
        const auto k = b.add(raw({0x61, 0x00, 'k'})), v = b.add(raw({0x09}));
        EXPECT_EQ(PlistValue::parse(b.build(b.dictionary({k}, {v}))),
                  dict({{"k", PlistValue(true)}}));
    }
}

TEST(PlistBinary, HostileGraphs) {
    std::vector<std::pair<const char*, std::string>> cases;
    {
        Builder b; // an array holding itself
        b.array({0});
        cases.emplace_back("self cycle", b.build(0));
    }
    {
        Builder b; // two arrays holding each other
        b.array({1});
        b.array({0});
        cases.emplace_back("two-cycle", b.build(0));
    }
    {
        Builder b; // a dictionary whose value leads back to it
        const auto root = b.reserve();
        const auto key = b.ascii("k");
        const auto list = b.array({root});
        std::string object = countedMarker(0xD, 1);
        object.push_back(static_cast<char>(key));
        object.push_back(static_cast<char>(list));
        b.set(root, object);
        cases.emplace_back("cycle through a dictionary", b.build(root));
    }
    {
        Builder b; // a dictionary used as its own key
        std::string object = countedMarker(0xD, 1);
        object += raw({0, 0});
        b.add(object);
        cases.emplace_back("dictionary as its own key", b.build(0));
    }
    {
        Builder b;
        const auto k = b.integer8(1), v = b.ascii("v");
        cases.emplace_back("integer key", b.build(b.dictionary({k}, {v})));
    }
    {
        Builder b;
        const auto k = b.array({}), v = b.ascii("v");
        cases.emplace_back("array key", b.build(b.dictionary({k}, {v})));
    }
    {
        Builder b;
        const auto s = b.ascii("x");
        cases.emplace_back("reference past the objects", b.build(b.array({s, 9})));
    }
    {
        Builder b;
        const auto s = b.ascii("x");
        std::string object = countedMarker(0xA, 14);
        object.push_back(static_cast<char>(s));
        b.add(object);
        cases.emplace_back("array count running into the offset table", b.build(1));
    }
    {
        // 2^n expansion: each level an array holding the next one twice.
        Builder b;
        const std::size_t levels = 200;
        for (std::size_t i = 0; i < levels; ++i)
            b.add("");
        for (std::size_t i = 0; i + 1 < levels; ++i)
            b.set(i, b.arrayObject({i + 1, i + 1}));
        b.set(levels - 1, raw({0x09}));
        cases.emplace_back("exponential expansion", b.build(0));
    }
    {
        // A long string referenced very often: more bytes than the input can account for.
        Builder b;
        const auto s = b.add(countedMarker(0x5, 60000) + std::string(60000, 'x'));
        cases.emplace_back("string expansion",
                           b.build(b.array(std::vector<std::uint64_t>(8000, s))));
    }
    {
        // Deep, then wide: libplist's path check would scan 500 levels for each of the
        // 200000 elements.
        Builder b(4);
        const std::size_t depth = 500;
        const auto leaf = b.add(raw({0x09}));
        const auto wide = b.array(std::vector<std::uint64_t>(200000, leaf));
        std::uint64_t inner = wide;
        for (std::size_t i = 0; i < depth; ++i)
            inner = b.array({inner});
        cases.emplace_back("deep then wide", b.build(inner));
    }
    {
        // libplist 2.2 would abort handing out this key.
        Builder b;
        const auto k = b.add(raw({0x62, 0x00, 'k', 0x00, 0x00})), v = b.add(raw({0x09}));
        cases.emplace_back("utf-16 key with a NUL", b.build(b.dictionary({k}, {v})));
    }
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(PlistValue::parse(bytes).isAbsent());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }
}

std::string chain(std::size_t depth) {
    // depth nested arrays; the innermost holds true.
    Builder b(4);
    std::uint64_t inner = b.add(raw({0x09}));
    for (std::size_t i = 0; i < depth; ++i)
        inner = b.array({inner});
    return b.build(inner);
}

TEST(PlistBinary, NestingDepthLimit) {
    const PlistValue at512 = PlistValue::parse(chain(512));
    ASSERT_FALSE(at512.isAbsent());
    const PlistValue* cursor = nullptr;
    EXPECT_EQ(arrayNesting(at512, &cursor), 512u);
    EXPECT_EQ(cursor->boolean(), true);
    EXPECT_TRUE(PlistValue::parse(chain(513)).isAbsent());
    EXPECT_TRUE(PlistValue::parse(chain(100000)).isAbsent());

    // The same limit when the deep part is shared from two places.
    Builder b(4);
    std::uint64_t inner = b.add(raw({0x09}));
    for (std::size_t i = 0; i < 511; ++i)
        inner = b.array({inner});
    const std::uint64_t twice = b.array({inner, inner}); // depth 512
    EXPECT_FALSE(PlistValue::parse(b.build(twice)).isAbsent());
    const std::uint64_t deeper = b.array({inner, twice}); // depth 513 through the second
    EXPECT_TRUE(PlistValue::parse(b.build(deeper)).isAbsent());
}

TEST(PlistBinary, BrokenTrailers) {
    Builder b;
    const auto s = b.ascii("x");
    const std::string good = b.build(b.array({s}));
    ASSERT_EQ(PlistValue::parse(good), array({"x"}));
    const std::uint64_t table = good.size() - 32 - 2;

    struct Case {
        const char* name;
        Field field;
        std::uint64_t value;
    } cases[] = {
        {"no objects", Field::Objects, 0},
        {"truncated offset table", Field::Objects, 3},
        {"huge object count", Field::Objects, std::numeric_limits<std::uint64_t>::max()},
        {"object count overflowing the table size", Field::Objects, (1ull << 63) + 1},
        {"root out of range", Field::Root, 2},
        {"huge root", Field::Root, std::numeric_limits<std::uint64_t>::max()},
        {"offset size 0", Field::OffsetSize, 0},
        {"offset size 3", Field::OffsetSize, 3},
        {"offset size 16", Field::OffsetSize, 16},
        {"reference size 0", Field::RefSize, 0},
        {"reference size 3", Field::RefSize, 3},
        {"reference size 255", Field::RefSize, 255},
        {"table in the header", Field::Table, 4},
        {"table in the trailer", Field::Table, good.size() - 16},
        {"table past the end", Field::Table, good.size() + 100},
        {"huge table offset", Field::Table, std::numeric_limits<std::uint64_t>::max()},
        {"table one byte late", Field::Table, table + 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string bytes = good;
        patch(bytes, c.field, c.value);
        EXPECT_TRUE(PlistValue::parse(bytes).isAbsent());
    }

    // Offsets in the table pointing outside the objects.
    for (int offset : {0, 7, static_cast<int>(table), static_cast<int>(table + 1), 255}) {
        SCOPED_TRACE(offset);
        std::string bytes = good;
        bytes[table] = static_cast<char>(offset); // the string's offset
        EXPECT_TRUE(PlistValue::parse(bytes).isAbsent());
    }
    // An offset table listing the same object many times: more objects than object bytes.
    {
        std::string bytes = "bplist00\x09";
        for (int i = 0; i < 1000; ++i)
            bytes.push_back(8);
        bytes.append(6, '\0');
        bytes += raw({1, 1});
        putBigEndian(bytes, 1000, 8); // objects
        putBigEndian(bytes, 0, 8);    // root
        putBigEndian(bytes, 9, 8);    // offset table
        EXPECT_TRUE(PlistValue::parse(bytes).isAbsent());
        patch(bytes, Field::Objects, 1); // the same with one object listed is fine
        EXPECT_EQ(PlistValue::parse(bytes), PlistValue(true));
    }
    // Too short to hold a trailer, and every truncation.
    EXPECT_TRUE(PlistValue::parse("bplist00").isAbsent());
    for (std::size_t length = 0; length < good.size(); ++length)
        EXPECT_TRUE(PlistValue::parse(good.substr(0, length)).isAbsent()) << length;
}

// Whether a string or key somewhere holds a NUL byte (which XML cannot carry).
bool holdsNul(const PlistValue& value) {
    if (const auto text = value.stringValue())
        return text->find('\0') != std::string_view::npos;
    if (const auto* elements = value.arrayElements()) {
        for (const auto& element : *elements)
            if (holdsNul(element))
                return true;
    }
    if (const auto* entries = value.dictionaryEntries()) {
        for (const auto& [key, element] : *entries)
            if (key.find('\0') != std::string::npos || holdsNul(element))
                return true;
    }
    return false;
}

TEST(PlistBinary, MutatedInputNeverCrashes) {
    LibPlist root(plist_new_dict());
    plist_t containers = plist_new_array();
    for (int c = 0; c < 3; ++c) {
        plist_t container = plist_new_dict();
        plist_dict_set_item(container, "ContainerReference", plist_new_string("disk3"));
        plist_dict_set_item(container, "CapacityCeiling", plist_new_uint(494384795648ull));
        plist_dict_set_item(container, "Ratio", plist_new_real(0.25));
        plist_dict_set_item(container, "Stamp", plist_new_date(100, 0));
        plist_dict_set_item(container, "Bytes", plist_new_data("abc", 3));
        plist_t roles = plist_new_array();
        plist_array_append_item(roles, plist_new_string("Data"));
        plist_array_append_item(roles, plist_new_bool(1));
        plist_dict_set_item(container, "Roles", roles);
        plist_array_append_item(containers, container);
    }
    plist_dict_set_item(root.get(), "Containers", containers);
    const std::string good = toBinary(root.get());
    ASSERT_FALSE(PlistValue::parse(good).isAbsent());

    std::mt19937 random(99);
    for (int round = 0; round < 8000; ++round) {
        std::string bytes = good;
        const int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits; ++e) {
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
