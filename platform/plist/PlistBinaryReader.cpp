// The binary property-list reader ("bplist00"): libplist builds the tree, after a check of our
// own that makes handing it the bytes safe.
//
// libplist 2.2 is not hardened. It recurses once per nesting level without a limit, follows
// shared references as often as they occur (a chain of arrays each holding the next one twice
// expands to 2^n nodes), checks for cycles by scanning the whole path at every node (quadratic
// in the depth), frees its trees recursively, and reads a count's width as 1 << (0..15) bytes.
// So before libplist sees the bytes, check() walks the object graph from the root itself,
// iteratively, and reads every reachable object's marker, count and references from the offset
// table with full bounds checks. It fails (the parse is absent) on:
// - a trailer that does not fit: offset or reference width outside 1 to 8 bytes (libplist writes
//   3 once a file passes 64 KiB, and reads any of them), no objects,
//   more objects than bytes before the offset table, a root index out of range, an offset
//   table outside the bytes before the trailer;
// - an object offset outside [8, offset table), or an object whose bytes run into the offset
//   table (libplist requires objects to lie before it);
// - markers PlistValue cannot hold or libplist does not read the same way: null, fill, UID,
//   set, the reserved ones; a real that is not 4 or 8 bytes, a date that is not 8, an integer
//   of 16 bytes that is out of the signed-64/unsigned-64 range, a count written with a width
//   other than 1, 2, 4 or 8 bytes;
// - a dictionary key that is not a string;
// - a string that is no text, or not the text libplist would hand out: ASCII with a NUL (libplist
//   cuts the string there) or a byte past 127 (copied as it is: not UTF-8), UTF-16 with a NUL
//   (libplist 2.2 asserts on it in a key) or a lone surrogate (dropped);
// - a date that is not finite or lies beyond +-2^62 seconds (no XML form; the XML reader's range);
// - a cycle, or containers nested deeper than PlistValue::kMaxDepth;
// - an expansion too large for the input: more nodes than the input has bytes (plus 2^20),
//   more string and data bytes than sixteen times the input (plus 16 MiB), or more path
//   scanning work (the sum of all node depths) than 32 times that node budget.
// The walk memoises each object, so its own cost is linear in the objects and references, and
// its memory is 32 bytes per object (so at most 32 times the bytes before the offset table).
//
// Then libplist parses, and the conversion walks libplist's tree and the object graph side by
// side (libplist keeps the file's order). Integers and dates are decoded from the bytes here:
// libplist 2.2 does not tell a 16-byte unsigned integer from an 8-byte negative one, and hands
// dates out as 32-bit seconds. Strings, data, reals and booleans are libplist's. (An empty UTF-16
// string makes libplist fail.)

#include "platform/plist/PlistReaders.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <plist/plist.h>
#include <string>
#include <utility>
#include <vector>

namespace kx::plist {
namespace {

constexpr std::uint64_t kHeaderSize = 8; // "bplist00"
constexpr std::uint64_t kTrailerSize = 32;
constexpr double kMaxDateSeconds = 4611686018427387904.0; // 2^62, as the XML reader

std::uint64_t readBigEndian(const unsigned char* bytes, unsigned width) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

bool isValidWidth(unsigned width) {
    return width >= 1 && width <= 8;
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

enum class Type : std::uint8_t { Boolean, Integer, Real, Date, Data, Ascii, Utf16, Array, Dict };

// One object, its bounds checked.
struct Header {
    Type type;
    std::uint8_t width;    // integer, real, date: byte width; boolean: the value
    std::uint64_t payload; // offset of the bytes after the marker and count
    std::uint64_t count;   // data/ASCII bytes, UTF-16 units, array elements, dict entries
};

bool isContainer(Type type) {
    return type == Type::Array || type == Type::Dict;
}

class BinaryPlist {
public:
    explicit BinaryPlist(std::string_view bytes)
        : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()) {}

    bool openTrailer();
    bool header(std::uint64_t object, Header& out) const;
    // The index-th reference of a container: elements of an array; keys then values of a dict.
    std::uint64_t reference(const Header& container, std::uint64_t index) const {
        return readBigEndian(data_ + container.payload + index * refSize_, refSize_);
    }
    std::uint64_t references(const Header& container) const {
        return container.type == Type::Dict ? 2 * container.count : container.count;
    }
    bool check() const;
    bool isText(const Header& string) const;
    PlistValue convert(plist_t root) const;

    std::uint64_t root() const { return root_; }
    PlistValue integer(const Header& header) const;
    double date(const Header& header) const;

private:
    const unsigned char* data_;
    std::uint64_t size_;
    unsigned offsetSize_ = 0;
    unsigned refSize_ = 0;
    std::uint64_t objects_ = 0;
    std::uint64_t root_ = 0;
    std::uint64_t table_ = 0; // offset of the offset table; objects lie before it
};

bool BinaryPlist::openTrailer() {
    if (size_ < kHeaderSize + kTrailerSize || size_ > std::numeric_limits<std::uint32_t>::max() ||
        std::memcmp(data_, "bplist00", kHeaderSize) != 0)
        return false;
    const unsigned char* trailer = data_ + size_ - kTrailerSize;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    objects_ = readBigEndian(trailer + 8, 8);
    root_ = readBigEndian(trailer + 16, 8);
    table_ = readBigEndian(trailer + 24, 8);
    if (!isValidWidth(offsetSize_) || !isValidWidth(refSize_) || objects_ == 0 || root_ >= objects_)
        return false;
    const std::uint64_t end = size_ - kTrailerSize;
    if (table_ < kHeaderSize || table_ >= end)
        return false;
    // objects_ * offsetSize_ <= end - table_, without overflow; and no more objects than bytes
    // to hold them (each takes one at least), which also bounds check()'s memory.
    return objects_ <= (end - table_) / offsetSize_ && objects_ <= table_ - kHeaderSize;
}

bool BinaryPlist::header(std::uint64_t object, Header& out) const {
    if (object >= objects_)
        return false;
    const std::uint64_t offset = readBigEndian(data_ + table_ + object * offsetSize_, offsetSize_);
    if (offset < kHeaderSize || offset >= table_)
        return false;
    const unsigned marker = data_[offset];
    const unsigned low = marker & 0x0F;
    std::uint64_t at = offset + 1; // <= table_
    auto fits = [&](std::uint64_t bytes) { return bytes <= table_ - at; };

    switch (marker >> 4) {
    case 0x0:
        if (low != 0x8 && low != 0x9)
            return false; // null and fill have no PlistValue
        out = {Type::Boolean, static_cast<std::uint8_t>(low == 0x9), at, 0};
        return true;
    case 0x1: {
        if (low > 4)
            return false;
        const unsigned width = 1u << low;
        if (!fits(width))
            return false;
        if (width == 16) {
            // Signed 128-bit: keep what fits signed or unsigned 64-bit.
            const std::uint64_t high = readBigEndian(data_ + at, 8);
            const std::uint64_t lowBits = readBigEndian(data_ + at + 8, 8);
            if (high != 0 && !(high == ~std::uint64_t{0} && (lowBits >> 63) != 0))
                return false;
        }
        out = {Type::Integer, static_cast<std::uint8_t>(width), at, 0};
        return true;
    }
    case 0x2:
        if (low != 2 && low != 3)
            return false;
        if (!fits(1u << low))
            return false;
        out = {Type::Real, static_cast<std::uint8_t>(1u << low), at, 0};
        return true;
    case 0x3: {
        if (low != 3 || !fits(8))
            return false;
        // Only dates the XML form can carry: finite, within +-2^62 seconds.
        const std::uint64_t bits = readBigEndian(data_ + at, 8);
        double seconds;
        std::memcpy(&seconds, &bits, sizeof seconds);
        if (!(std::fabs(seconds) <= kMaxDateSeconds))
            return false;
        out = {Type::Date, 8, at, 0};
        return true;
    }
    case 0x4:
    case 0x5:
    case 0x6:
    case 0xA:
    case 0xD: {
        std::uint64_t count = low;
        if (low == 0x0F) {
            if (!fits(1))
                return false;
            const unsigned countMarker = data_[at];
            if ((countMarker >> 4) != 0x1 || (countMarker & 0x0F) > 3)
                return false;
            const unsigned width = 1u << (countMarker & 0x0F);
            if (!fits(1 + std::uint64_t{width}))
                return false;
            count = readBigEndian(data_ + at + 1, width);
            at += 1 + width;
        }
        Type type;
        std::uint64_t unit;
        switch (marker >> 4) {
        case 0x4:
            type = Type::Data, unit = 1;
            break;
        case 0x5:
            type = Type::Ascii, unit = 1;
            break;
        case 0x6:
            type = Type::Utf16, unit = 2;
            break;
        case 0xA:
            type = Type::Array, unit = refSize_;
            break;
        default:
            type = Type::Dict, unit = 2 * std::uint64_t{refSize_};
            break;
        }
        if (count > (table_ - at) / unit)
            return false;
        out = {type, 0, at, count};
        return true;
    }
    default:
        return false; // UID, set, and the reserved markers
    }
}

bool BinaryPlist::isText(const Header& string) const {
    const unsigned char* bytes = data_ + string.payload;
    if (string.type == Type::Ascii) {
        for (std::uint64_t i = 0; i < string.count; ++i)
            if (bytes[i] == 0 || bytes[i] > 0x7F)
                return false;
        return true;
    }
    for (std::uint64_t i = 0; i < string.count; ++i) {
        const unsigned unit = readBigEndian(bytes + 2 * i, 2);
        if (unit == 0 || (unit >= 0xDC00 && unit <= 0xDFFF))
            return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            // A high surrogate stands only before a low one, and the pair is one character.
            if (i + 1 == string.count)
                return false;
            const unsigned next = readBigEndian(bytes + 2 * (i + 1), 2);
            if (next < 0xDC00 || next > 0xDFFF)
                return false;
            ++i;
        }
    }
    return true;
}

bool BinaryPlist::check() const {
    const std::uint64_t nodeBudget = size_ + (std::uint64_t{1} << 20);
    const std::uint64_t byteBudget = 16 * size_ + (std::uint64_t{1} << 24);
    const std::uint64_t workBudget = 32 * nodeBudget;

    constexpr std::uint16_t kUnvisited = 0xFFFF;
    constexpr std::uint16_t kOpen = 0xFFFE;
    // Per object: the expansion of its subtree. height doubles as the visit state.
    struct Cost {
        std::uint64_t nodes = 0; // nodes in the expanded subtree
        std::uint64_t work = 0;  // sum of the depths of its nodes below it
        std::uint64_t bytes = 0; // string and data bytes libplist allocates for it
        std::uint16_t height = kUnvisited;
    };
    std::vector<Cost> costs(objects_);

    struct Visit {
        std::uint64_t object;
        Header header;
        std::uint64_t next = 0; // next reference
        Cost sum;               // over the children so far
    };
    std::vector<Visit> path;
    path.reserve(64);

    auto leafCost = [](const Header& header) {
        Cost cost;
        cost.nodes = 1;
        cost.height = 0;
        switch (header.type) {
        case Type::Data:
            cost.bytes = header.count;
            break;
        case Type::Ascii:
            cost.bytes = header.count + 1;
            break;
        case Type::Utf16:
            cost.bytes = 4 * (header.count + 1); // what libplist allocates before it shrinks
            break;
        default:
            break;
        }
        return cost;
    };
    auto withinBudget = [&](const Cost& cost) {
        return cost.nodes <= nodeBudget && cost.work <= workBudget && cost.bytes <= byteBudget &&
               cost.height <= PlistValue::kMaxDepth;
    };
    auto add = [](Cost& sum, const Cost& child) {
        sum.nodes = saturatingAdd(sum.nodes, child.nodes);
        sum.work = saturatingAdd(sum.work, saturatingAdd(child.work, child.nodes));
        sum.bytes = saturatingAdd(sum.bytes, child.bytes);
        sum.height = std::max<std::uint16_t>(sum.height, child.height);
    };
    // Visits an object first met: a leaf is checked and costed at once, a container opens on
    // the path.
    auto enter = [&](std::uint64_t object, const Header& header) {
        if (!isContainer(header.type)) {
            if ((header.type == Type::Ascii || header.type == Type::Utf16) && !isText(header))
                return false;
            costs[object] = leafCost(header);
            return true;
        }
        if (path.size() >= PlistValue::kMaxDepth)
            return false;
        costs[object].height = kOpen;
        Visit visit{object, header, 0, Cost{}};
        visit.sum.height = 0;
        path.push_back(visit);
        return true;
    };

    Header rootHeader;
    if (!header(root_, rootHeader) || !enter(root_, rootHeader))
        return false;
    while (!path.empty()) {
        Visit& visit = path.back();
        if (visit.next == references(visit.header)) {
            Cost cost = visit.sum;
            cost.nodes = saturatingAdd(cost.nodes, 1);
            cost.height = static_cast<std::uint16_t>(cost.height + 1);
            if (!withinBudget(cost))
                return false;
            costs[visit.object] = cost;
            path.pop_back();
            if (!path.empty())
                add(path.back().sum, cost);
            continue;
        }
        const bool isKey = visit.header.type == Type::Dict && visit.next < visit.header.count;
        const std::uint64_t child = reference(visit.header, visit.next++);
        if (child >= objects_)
            return false;
        Cost& known = costs[child];
        if (known.height == kOpen)
            return false; // a cycle
        if (known.height != kUnvisited && !isKey) {
            add(visit.sum, known);
            continue;
        }
        Header childHeader;
        if (!header(child, childHeader))
            return false;
        if (isKey && childHeader.type != Type::Ascii && childHeader.type != Type::Utf16)
            return false;
        if (known.height != kUnvisited) {
            add(visit.sum, known);
            continue;
        }
        // enter() may grow path: visit is not used past this point.
        const bool container = isContainer(childHeader.type);
        if (!enter(child, childHeader))
            return false;
        if (!container)
            add(path.back().sum, costs[child]);
    }
    return true;
}

PlistValue BinaryPlist::integer(const Header& header) const {
    const unsigned char* bytes = data_ + header.payload;
    switch (header.width) {
    case 1:
    case 2:
    case 4: // unsigned
        return PlistValue(static_cast<std::int64_t>(readBigEndian(bytes, header.width)));
    case 8: // signed
        return PlistValue(static_cast<std::int64_t>(readBigEndian(bytes, 8)));
    default: { // 16: checked by header() to fit
        const std::uint64_t high = readBigEndian(bytes, 8);
        const std::uint64_t low = readBigEndian(bytes + 8, 8);
        return high == 0 ? PlistValue::unsignedInteger(low)
                         : PlistValue(static_cast<std::int64_t>(low));
    }
    }
}

double BinaryPlist::date(const Header& header) const {
    const std::uint64_t bits = readBigEndian(data_ + header.payload, 8);
    double seconds;
    std::memcpy(&seconds, &bits, sizeof seconds);
    return seconds;
}

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};
struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Iterator = std::unique_ptr<void, FreeDeleter>;

plist_type expectedType(Type type) {
    switch (type) {
    case Type::Boolean:
        return PLIST_BOOLEAN;
    case Type::Integer:
        return PLIST_UINT;
    case Type::Real:
        return PLIST_REAL;
    case Type::Date:
        return PLIST_DATE;
    case Type::Data:
        return PLIST_DATA;
    case Type::Ascii:
    case Type::Utf16:
        return PLIST_STRING;
    case Type::Array:
        return PLIST_ARRAY;
    default:
        return PLIST_DICT;
    }
}

// Converts libplist's tree beside the object graph check() accepted (so at most kMaxDepth
// containers deep, acyclic, within budget). Iterative like the rest; absent on any mismatch.
PlistValue BinaryPlist::convert(plist_t rootNode) const {
    struct Frame {
        plist_t node;
        Header header;
        std::uint64_t next = 0; // next element or entry
        Iterator iterator;
        std::string key;
        PlistValue::Array elements;
        PlistValue::Dictionary entries;
    };
    std::vector<Frame> stack;

    // A scalar's value, or a new frame for a container. False on a mismatch with libplist.
    auto begin = [&](plist_t node, std::uint64_t object, PlistValue& value, bool& opened) {
        opened = false;
        Header header;
        if (!node || !this->header(object, header) ||
            plist_get_node_type(node) != expectedType(header.type))
            return false;
        switch (header.type) {
        case Type::Boolean: {
            std::uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            value = PlistValue(flag != 0);
            return true;
        }
        case Type::Integer:
            value = integer(header);
            return true;
        case Type::Real: {
            double number = 0.0;
            plist_get_real_val(node, &number);
            value = PlistValue(number);
            return true;
        }
        case Type::Date:
            value = PlistValue(PlistValue::Date{date(header)});
            return true;
        case Type::Data: {
            std::uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            if (!bytes && length)
                return false;
            const auto* first = reinterpret_cast<const std::uint8_t*>(bytes);
            value = PlistValue(PlistValue::Data(first, first + length));
            return true;
        }
        case Type::Ascii:
        case Type::Utf16: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            if (!text)
                return false;
            value = PlistValue(std::string(text, length));
            return true;
        }
        case Type::Array:
        case Type::Dict: {
            Frame frame{node, header, 0, nullptr, {}, {}, {}};
            void* iterator = nullptr;
            if (header.type == Type::Array) {
                plist_array_new_iter(node, &iterator);
                frame.elements.reserve(header.count);
            } else {
                plist_dict_new_iter(node, &iterator);
                frame.entries.reserve(header.count);
            }
            if (!iterator)
                return false;
            frame.iterator.reset(iterator);
            stack.push_back(std::move(frame));
            opened = true;
            return true;
        }
        }
        return false;
    };

    PlistValue value;
    bool opened = false;
    if (!begin(rootNode, root_, value, opened))
        return PlistValue();
    if (!opened)
        return value;
    while (!stack.empty()) {
        Frame& frame = stack.back();
        if (frame.next == frame.header.count) {
            PlistValue done = frame.header.type == Type::Dict
                                  ? PlistValue(std::move(frame.entries))
                                  : PlistValue(std::move(frame.elements));
            stack.pop_back();
            if (stack.empty())
                return done;
            Frame& parent = stack.back();
            if (parent.header.type == Type::Dict)
                parent.entries.emplace_back(std::move(parent.key), std::move(done));
            else
                parent.elements.push_back(std::move(done));
            continue;
        }
        plist_t child = nullptr;
        std::uint64_t object;
        if (frame.header.type == Type::Array) {
            plist_array_next_item(frame.node, frame.iterator.get(), &child);
            object = reference(frame.header, frame.next);
        } else {
            char* key = nullptr;
            plist_dict_next_item(frame.node, frame.iterator.get(), &key, &child);
            const std::unique_ptr<char, FreeDeleter> owned(key);
            if (!key)
                return PlistValue();
            frame.key.assign(key);
            object = reference(frame.header, frame.header.count + frame.next);
        }
        ++frame.next;
        // begin() may grow the stack: frame is not used past this point.
        if (!begin(child, object, value, opened))
            return PlistValue();
        if (!opened) {
            Frame& parent = stack.back();
            if (parent.header.type == Type::Dict)
                parent.entries.emplace_back(std::move(parent.key), std::move(value));
            else
                parent.elements.push_back(std::move(value));
        }
    }
    return PlistValue(); // not reached: the root frame returns above
}

} // namespace

PlistValue readBinary(std::string_view bytes) {
    BinaryPlist plist(bytes);
    if (!plist.openTrailer() || !plist.check())
        return PlistValue();
    plist_t raw = nullptr;
    plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &raw);
    const std::unique_ptr<void, PlistDeleter> tree(raw);
    if (!tree)
        return PlistValue();
    return plist.convert(tree.get());
}

} // namespace kx::plist
