// The binary property-list reader ("bplist00").
//
// One iterative walk from the root reads every reachable object's marker, count and references
// from the offset table with full bounds checks and builds the PlistValue as it goes; a shared
// object is read again at every reference to it. The parse is absent on:
// - a trailer that does not fit: offset or reference width outside 1 to 8 bytes, no objects,
//   more objects than bytes before the offset table, a root index out of range, an offset table
//   outside the bytes before the trailer; a file of 4 GiB or more;
// - an object offset outside [8, offset table), or an object whose bytes run into the offset
//   table (objects lie before it);
// - markers PlistValue cannot hold: null, fill, UID, set, the reserved ones; a real that is not
//   4 or 8 bytes, a date that is not 8, an integer of 16 bytes out of the signed-64/unsigned-64
//   range, a count written with a width other than 1, 2, 4 or 8 bytes;
// - a dictionary key that is not a string;
// - a string that is no text: ASCII with a NUL or a byte past 127 (not UTF-8; a NUL would cut
//   it short for every C caller), UTF-16 with a NUL or a lone surrogate;
// - a date that is not finite or lies beyond kMaxDateSeconds (no XML form; the XML reader's
//   range);
// - containers nested deeper than PlistValue::kMaxDepth, which is also how a cycle ends;
// - an expansion too large for the input, since shared objects are read once per reference:
//   more values and keys than the input has bytes (plus 2^20), or more string and data bytes
//   than sixteen times the input (plus 16 MiB).
// So the walk's time and memory stay linear in the input, whatever the object graph.
//
// Integers: 1, 2 and 4 bytes are unsigned, 8 signed, 16 signed 128-bit (kept when it fits signed
// or unsigned 64-bit). Reals of 4 bytes are widened to double. UTF-16 is big-endian, converted to
// UTF-8 by ICU.

#include "platform/plist/PlistDateText.h"
#include "platform/plist/PlistReaders.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <tuple>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <utility>
#include <vector>

namespace kx::plist {
namespace {

constexpr std::uint64_t kHeaderSize = 8; // "bplist00"
constexpr std::uint64_t kTrailerSize = 32;

std::uint64_t readBigEndian(const unsigned char* bytes, unsigned width) {
    switch (width) {
    case 1:
        return bytes[0];
    case 2:
        return std::uint64_t{bytes[0]} << 8 | bytes[1];
    default: {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i)
            value = (value << 8) | bytes[i];
        return value;
    }
    }
}

double readDouble(const unsigned char* bytes) {
    const std::uint64_t bits = readBigEndian(bytes, 8);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

bool isValidWidth(unsigned width) {
    return width >= 1 && width <= 8;
}

enum class Type : std::uint8_t { Boolean, Integer, Real, Date, Data, Ascii, Utf16, Array, Dict };

// One object, its bounds checked.
struct Header {
    Type type;
    std::uint8_t width;    // integer, real, date: byte width; boolean: the value
    std::uint64_t payload; // offset of the bytes after the marker and count
    std::uint64_t count;   // data/ASCII bytes, UTF-16 units, array elements, dict entries
};

// Whether none of bytes is NUL or past 127: eight at a time, as nearly every string is ASCII.
bool isAsciiText(const unsigned char* bytes, std::uint64_t size) {
    constexpr std::uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;
    std::uint64_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + i, 8);
        if ((word | ((word - kOnes) & ~word)) & kHigh)
            return false;
    }
    for (; i < size; ++i)
        if (bytes[i] == 0 || bytes[i] > 0x7F)
            return false;
    return true;
}

bool isContainer(Type type) {
    return type == Type::Array || type == Type::Dict;
}

// The string or data bytes a leaf becomes: what the budget charges for it.
std::uint64_t leafBytes(const Header& leaf) {
    switch (leaf.type) {
    case Type::Data:
    case Type::Ascii:
        return leaf.count;
    case Type::Utf16:
        return 3 * leaf.count; // the most UTF-8 it can become
    default:
        return 0;
    }
}

class Reader {
public:
    explicit Reader(std::string_view bytes)
        : data_(reinterpret_cast<const unsigned char*>(bytes.data())), size_(bytes.size()),
          nodeBudget_(size_ + (std::uint64_t{1} << 20)),
          byteBudget_(16 * size_ + (std::uint64_t{1} << 24)) {}

    PlistValue read();

private:
    struct Frame {
        std::uint64_t object;
        Header header;
        // Where the finished container goes: result, or its place in the parent's vectors,
        // which are reserved to their count and so never move while they fill.
        PlistValue* slot;
        std::uint64_t next = 0; // next element, or next entry of a dictionary
        PlistValue::Array elements;
        PlistValue::Dictionary entries;
    };

    bool openTrailer();
    bool header(std::uint64_t object, Header& out) const;
    // The index-th reference of a container: elements of an array; keys then values of a dict.
    std::uint64_t reference(const Header& container, std::uint64_t index) const {
        return readBigEndian(data_ + container.payload + index * refSize_, refSize_);
    }
    std::uint64_t references(const Header& container) const {
        return container.type == Type::Dict ? 2 * container.count : container.count;
    }
    // Counts a value (or key) of bytes string or data bytes against the budgets.
    bool spend(std::uint64_t bytes) {
        return ++nodes_ <= nodeBudget_ && (bytes_ += bytes) <= byteBudget_;
    }
    // Whether everything reachable from the root, each shared object counted once per
    // reference, is acyclic and within the budgets. Its cost is linear in the objects and
    // references, whatever the expansion.
    bool expansionFits() const;
    bool text(const Header& string, std::string& out);
    bool utf16(const unsigned char* bytes, std::uint64_t units, std::string& out) const;
    // A value that is no container, into out.
    bool scalar(const Header& header, PlistValue& out);
    PlistValue integer(const Header& header) const;
    // A container becomes the innermost frame; anything else is read into out.
    bool value(std::uint64_t object, PlistValue& out);

    const unsigned char* data_;
    std::uint64_t size_;
    unsigned offsetSize_ = 0;
    unsigned refSize_ = 0;
    std::uint64_t objects_ = 0;
    std::uint64_t root_ = 0;
    std::uint64_t table_ = 0; // offset of the offset table; objects lie before it

    const std::uint64_t nodeBudget_;
    const std::uint64_t byteBudget_;
    std::uint64_t nodes_ = 0;
    std::uint64_t bytes_ = 0;
    std::vector<Frame> stack_;
    // Per object: whether a container is open on the walk's path, or has been read whole.
    enum Visit : std::uint8_t { kUnvisited, kOpen, kDone };
    std::vector<Visit> visits_;
    bool expansionChecked_ = false;
};

bool Reader::openTrailer() {
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
    // to hold them (each takes one at least).
    return objects_ <= (end - table_) / offsetSize_ && objects_ <= table_ - kHeaderSize;
}

bool Reader::header(std::uint64_t object, Header& out) const {
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
        if ((low != 2 && low != 3) || !fits(1u << low))
            return false;
        out = {Type::Real, static_cast<std::uint8_t>(1u << low), at, 0};
        return true;
    case 0x3:
        // Only dates the XML form can carry.
        if (low != 3 || !fits(8) || !isWithinDateRange(readDouble(data_ + at)))
            return false;
        out = {Type::Date, 8, at, 0};
        return true;
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

bool Reader::expansionFits() const {
    constexpr std::uint16_t kUnmeasured = 0xFFFF;
    constexpr std::uint16_t kOnPath = 0xFFFE;
    // Per object: the values, keys and bytes its reading yields; height doubles as the state.
    struct Cost {
        std::uint64_t nodes = 0;
        std::uint64_t bytes = 0;
        std::uint16_t height = kUnmeasured;
    };
    std::vector<Cost> costs(objects_);
    struct Step {
        std::uint64_t object;
        Header header;
        std::uint64_t next = 0; // next reference
        Cost sum;               // over the references so far
    };
    std::vector<Step> path;

    auto saturatingAdd = [](std::uint64_t a, std::uint64_t b) {
        std::uint64_t sum;
        return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
    };
    auto add = [&](Cost& sum, const Cost& child) {
        sum.nodes = saturatingAdd(sum.nodes, child.nodes);
        sum.bytes = saturatingAdd(sum.bytes, child.bytes);
        sum.height = std::max(sum.height, child.height);
    };
    // A leaf is measured at once; a container opens on the path.
    auto enter = [&](std::uint64_t object, const Header& header) {
        if (!isContainer(header.type)) {
            costs[object] = {1, leafBytes(header), 0};
            return true;
        }
        if (path.size() >= PlistValue::kMaxDepth)
            return false;
        costs[object].height = kOnPath;
        path.push_back({object, header, 0, {0, 0, 0}});
        return true;
    };

    Header rootHeader;
    if (!header(root_, rootHeader) || !enter(root_, rootHeader))
        return false;
    while (!path.empty()) {
        Step& step = path.back();
        if (step.next == references(step.header)) {
            Cost cost = step.sum;
            cost.nodes = saturatingAdd(cost.nodes, 1);
            ++cost.height;
            if (cost.nodes > nodeBudget_ || cost.bytes > byteBudget_ ||
                cost.height > PlistValue::kMaxDepth)
                return false;
            costs[step.object] = cost;
            path.pop_back();
            if (!path.empty())
                add(path.back().sum, cost);
            continue;
        }
        const bool isKey = step.header.type == Type::Dict && step.next < step.header.count;
        const std::uint64_t child = reference(step.header, step.next++);
        if (child >= objects_ || costs[child].height == kOnPath)
            return false; // out of range, or a cycle
        Header childHeader;
        if (costs[child].height == kUnmeasured || isKey) {
            if (!header(child, childHeader))
                return false;
            if (isKey && childHeader.type != Type::Ascii && childHeader.type != Type::Utf16)
                return false;
        }
        if (costs[child].height != kUnmeasured) {
            add(step.sum, costs[child]);
            continue;
        }
        // enter() may grow path: step is not used past this point.
        if (!enter(child, childHeader))
            return false;
        if (!isContainer(childHeader.type))
            add(path.back().sum, costs[child]);
    }
    return true;
}

bool Reader::utf16(const unsigned char* bytes, std::uint64_t units, std::string& out) const {
    // In chunks through a small buffer, never splitting a surrogate pair; ICU reports a lone
    // surrogate (U_SENTINEL: no substitution).
    constexpr std::uint64_t kChunk = 1024;
    UChar buffer[kChunk];
    out.clear();
    for (std::uint64_t done = 0; done < units;) {
        std::uint64_t length = std::min(kChunk, units - done);
        for (std::uint64_t i = 0; i < length; ++i) {
            buffer[i] = static_cast<UChar>(readBigEndian(bytes + 2 * (done + i), 2));
            if (buffer[i] == 0)
                return false;
        }
        if (done + length < units && U16_IS_LEAD(buffer[length - 1]))
            --length; // read again with its trail in the next chunk
        const std::size_t at = out.size();
        out.resize(at + 3 * length); // a UTF-16 unit becomes at most three bytes
        std::int32_t written = 0;
        UErrorCode error = U_ZERO_ERROR;
        u_strToUTF8WithSub(out.data() + at, static_cast<std::int32_t>(3 * length), &written, buffer,
                           static_cast<std::int32_t>(length), U_SENTINEL, nullptr, &error);
        if (U_FAILURE(error))
            return false;
        out.resize(at + static_cast<std::size_t>(written));
        done += length;
    }
    return true;
}

bool Reader::text(const Header& string, std::string& out) {
    const unsigned char* bytes = data_ + string.payload;
    if (string.type == Type::Ascii) {
        if (!spend(leafBytes(string)) || !isAsciiText(bytes, string.count))
            return false;
        out.assign(reinterpret_cast<const char*>(bytes), string.count);
        return true;
    }
    return string.type == Type::Utf16 && spend(leafBytes(string)) &&
           utf16(bytes, string.count, out);
}

PlistValue Reader::integer(const Header& header) const {
    const unsigned char* bytes = data_ + header.payload;
    switch (header.width) {
    case 1:
    case 2:
    case 4: // unsigned
        return PlistValue(readBigEndian(bytes, header.width));
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

bool Reader::scalar(const Header& header, PlistValue& out) {
    const unsigned char* bytes = data_ + header.payload;
    switch (header.type) {
    case Type::Boolean:
        out = PlistValue(header.width != 0);
        return spend(0);
    case Type::Integer:
        out = integer(header);
        return spend(0);
    case Type::Real: {
        if (header.width == 8) {
            out = PlistValue(readDouble(bytes));
        } else {
            const auto bits = static_cast<std::uint32_t>(readBigEndian(bytes, 4));
            float real;
            std::memcpy(&real, &bits, sizeof real);
            out = PlistValue(static_cast<double>(real));
        }
        return spend(0);
    }
    case Type::Date:
        out = PlistValue(PlistValue::Date{readDouble(bytes)});
        return spend(0);
    case Type::Data:
        if (!spend(leafBytes(header)))
            return false;
        out = PlistValue(PlistValue::Data(bytes, bytes + header.count));
        return true;
    case Type::Ascii:
    case Type::Utf16: {
        std::string string;
        if (!text(header, string))
            return false;
        out = PlistValue(std::move(string));
        return true;
    }
    default:
        return false;
    }
}

bool Reader::value(std::uint64_t object, PlistValue& out) {
    Header header;
    if (!this->header(object, header))
        return false;
    if (!isContainer(header.type))
        return scalar(header, out);
    Visit& visit = visits_[object];
    if (visit == kOpen || stack_.size() >= PlistValue::kMaxDepth || !spend(0))
        return false; // a cycle, or too deep
    // A container read a second time: no writer shares containers, so only now can the
    // expansion outgrow the input; before any more is built, it is measured whole, once.
    if (visit == kDone && !expansionChecked_) {
        if (!expansionFits())
            return false;
        expansionChecked_ = true;
    }
    visit = kOpen;
    Frame& frame = stack_.emplace_back();
    frame.object = object;
    frame.header = header;
    frame.slot = &out;
    if (header.type == Type::Dict)
        frame.entries.reserve(header.count);
    else
        frame.elements.reserve(header.count);
    return true;
}

PlistValue Reader::read() {
    PlistValue result;
    if (!openTrailer())
        return PlistValue();
    visits_.assign(objects_, kUnvisited);
    stack_.reserve(8);
    if (!value(root_, result))
        return PlistValue();
    while (!stack_.empty()) {
        Frame& frame = stack_.back();
        const bool isDict = frame.header.type == Type::Dict;
        if (frame.next == frame.header.count) {
            *frame.slot = isDict ? PlistValue(std::move(frame.entries))
                                 : PlistValue(std::move(frame.elements));
            visits_[frame.object] = kDone;
            stack_.pop_back();
            continue;
        }
        const std::uint64_t index = frame.next++;
        PlistValue* slot;
        if (isDict) {
            Header key;
            std::string keyText;
            if (!header(reference(frame.header, index), key) || !text(key, keyText))
                return PlistValue(); // a key that is not a string, or no text
            slot = &frame.entries
                        .emplace_back(std::piecewise_construct,
                                      std::forward_as_tuple(std::move(keyText)),
                                      std::forward_as_tuple())
                        .second;
        } else {
            slot = &frame.elements.emplace_back();
        }
        const std::uint64_t child =
            reference(frame.header, isDict ? frame.header.count + index : index);
        // value() may grow stack_: frame is not used past this point.
        if (!value(child, *slot))
            return PlistValue();
    }
    return result;
}

} // namespace

PlistValue readBinary(std::string_view bytes) {
    return Reader(bytes).read();
}

} // namespace kx::plist
