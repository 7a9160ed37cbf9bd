// The XML property-list reader: pugixml for the markup, our own reading of the plist elements.
//
// Rules (anything else makes the whole parse absent):
// - The document is one `plist` element (attributes ignored) holding exactly one value, with
//   only white space beside it. The XML declaration, a DOCTYPE, comments and processing
//   instructions may appear where XML allows them. Before the first '<' and after the last '>'
//   only white space (and a UTF-8 byte-order mark) may stand.
// - Values: dict, array, string, integer, real, true, false, data, date. A dict holds key/value
//   pairs in turn (a later duplicate key wins); containers hold only white space beside their
//   elements; scalars hold only character data (text, CDATA, references), no elements; true
//   and false hold at most white space.
// - integer, real, data and date: see PlistNumberText.h, PlistBase64.h and
//   PlistDateText.h for the accepted text.
// - Containers nest at most PlistValue::kMaxDepth deep (a container holding only scalars has
//   depth 1).
// - Character references to NUL, to a surrogate or beyond U+10FFFF, and string or key text that
//   is not UTF-8, fail as XML requires (pugixml alone would cut the text at the NUL, write
//   invalid UTF-8, or wrap the number round to another character).
// References are decoded here rather than by pugixml, in text only (never in CDATA): the five
// predefined entities and numeric references; any other '&' is left as written, as pugixml
// leaves it. Line ends are normalised to "\n" as XML requires (a "\r" survives only as "&#13;").
// One edge comes from pugixml's white-space handling: text of white space alone is kept only as the
// whole content of an element, so in
// "<string> <![CDATA[x]]></string>" the space before the CDATA section is lost.
//
// The reader is iterative: the nesting depth costs heap frames, not stack.

#include "platform/plist/PlistBase64.h"
#include "platform/plist/PlistDateText.h"
#include "platform/plist/PlistNumberText.h"
#include "platform/plist/PlistReaders.h"
#include "platform/plist/PlistXmlSpace.h"
#include "platform/text/Utf8.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <pugixml.hpp>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace kx::plist {
namespace {

// CDATA is read, line ends normalised, references left for decode(); comments, PIs, the
// declaration and the DOCTYPE are skipped without being stored. White-space-only text is dropped
// except as the sole content of an element (so <string> </string> keeps its space), and the first
// run of text is stored in the element itself rather than in a node of its own.
constexpr unsigned kParseOptions =
    pugi::parse_cdata | pugi::parse_eol | pugi::parse_ws_pcdata_single | pugi::parse_embed_pcdata;

enum class Tag { Unknown, Dict, Array, String, Key, Integer, Real, True, False, Data, Date };

// The document's bytes, in a copy of our own that pugixml parses in place, with zeroed padding
// after them: sixteen bytes can be read at any point of a string pugixml leaves in the copy up
// to its NUL, and so the byte after that NUL, without reading past it. (Strings pugixml keeps
// elsewhere, as after converting UTF-16, are read by the byte.)
class Buffer {
public:
    static constexpr std::size_t kPadding = 16;
    explicit Buffer(std::string_view bytes)
        : size_(bytes.size()), bytes_(std::make_unique_for_overwrite<char[]>(size_ + kPadding)) {
        std::memcpy(bytes_.get(), bytes.data(), size_);
        std::memset(bytes_.get() + size_, 0, kPadding);
    }
    char* data() { return bytes_.get(); }
    std::size_t size() const { return size_; }
    // Whether text lies in the buffer, so that the reads above are safe.
    bool holds(const char* text) const {
        return reinterpret_cast<std::uintptr_t>(text) -
                   reinterpret_cast<std::uintptr_t>(bytes_.get()) <
               size_;
    }

private:
    std::size_t size_;
    std::unique_ptr<char[]> bytes_;
};

// Eight bytes as a word, the first in the lowest byte.
std::uint64_t loadWord(const char* bytes) {
    std::uint64_t word;
    std::memcpy(&word, bytes, 8);
    if constexpr (std::endian::native == std::endian::big)
        word = __builtin_bswap64(word);
    return word;
}

constexpr std::uint64_t kOnes = 0x0101010101010101, kHigh = 0x8080808080808080;

// The high bit of each zero byte of word; exact up to the first zero byte, which is all that
// is used (a byte above it may be marked wrongly).
constexpr std::uint64_t zeroBytes(std::uint64_t word) {
    return (word - kOnes) & ~word & kHigh;
}

// A name's first eight bytes, read by the byte (for names outside the buffer).
[[gnu::noinline]] std::uint64_t nameWordByBytes(const char* name) {
    std::uint64_t word = 0;
    for (unsigned i = 0; i < 8 && name[i]; ++i)
        word |= std::uint64_t{static_cast<unsigned char>(name[i])} << (8 * i);
    return word;
}

// Up to the first eight bytes of a name with its terminating NUL, zero beyond it.
inline std::uint64_t nameWord(const char* name, const Buffer& buffer) {
    if (!buffer.holds(name)) [[unlikely]]
        return nameWordByBytes(name);
    const std::uint64_t word = loadWord(name);
    const std::uint64_t zeros = zeroBytes(word);
    // Keep the bytes below the first NUL; the NUL and what follows it become zero.
    return zeros ? word & ((zeros & -zeros) - 1) : word;
}

// The element names as words, told apart by a perfect hash of their first four bytes, so that
// naming a tag costs no branch on the name (the names of a listing come in no order a branch
// predictor could learn).
constexpr std::uint64_t wordOf(std::string_view name) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < name.size(); ++i)
        word |= std::uint64_t{static_cast<unsigned char>(name[i])} << (8 * i);
    return word;
}

constexpr std::pair<std::string_view, Tag> kNames[] = {
    {"dict", Tag::Dict}, {"array", Tag::Array},     {"string", Tag::String},
    {"key", Tag::Key},   {"integer", Tag::Integer}, {"real", Tag::Real},
    {"true", Tag::True}, {"false", Tag::False},     {"data", Tag::Data},
    {"date", Tag::Date}};

constexpr unsigned kHashBits = 4;

constexpr unsigned hashOf(std::uint64_t word, std::uint32_t multiplier) {
    return static_cast<std::uint32_t>(static_cast<std::uint32_t>(word) * multiplier) >>
           (32 - kHashBits);
}

constexpr std::uint32_t findMultiplier() {
    for (std::uint32_t multiplier = 0x9E3779B1;; multiplier += 2) {
        unsigned used = 0;
        bool distinct = true;
        for (const auto& [name, tag] : kNames) {
            const unsigned bit = 1u << hashOf(wordOf(name), multiplier);
            distinct = distinct && !(used & bit);
            used |= bit;
        }
        if (distinct)
            return multiplier;
    }
}

constexpr std::uint32_t kMultiplier = findMultiplier();

struct NameSlot {
    std::uint64_t word = 0;
    Tag tag = Tag::Unknown;
};

constexpr auto kSlots = [] {
    std::array<NameSlot, 1u << kHashBits> slots{};
    for (const auto& [name, tag] : kNames)
        slots[hashOf(wordOf(name), kMultiplier)] = {wordOf(name), tag};
    return slots;
}();

bool isContainer(Tag tag) {
    return tag == Tag::Dict || tag == Tag::Array;
}

Tag tagOf(std::uint64_t nameWord) {
    const NameSlot& slot = kSlots[hashOf(nameWord, kMultiplier)];
    return slot.word == nameWord ? slot.tag : Tag::Unknown;
}

// Whether a handle is null, without the out-of-line call its operator bool costs (pugixml's
// handles are one pointer to the node, null for an empty handle). The walk tests this once per
// node, and the calls were a measurable share of the parse.
static_assert(sizeof(pugi::xml_node) == sizeof(void*) &&
              std::is_trivially_copyable_v<pugi::xml_node>);
bool isNull(pugi::xml_node node) {
    return std::bit_cast<const void*>(node) == nullptr;
}

bool isText(pugi::xml_node node) {
    const auto type = node.type();
    return type == pugi::node_pcdata || type == pugi::node_cdata;
}

void appendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

int digitValue(char c, bool hex) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (hex && c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (hex && c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes the reference that text starts with ('&' at text[0]) onto out and returns its length;
// 0 when it is no reference (then left as written), -1 when it names no character XML allows
// in a document: NUL, a surrogate, or a value past U+10FFFF.
long decodeReference(std::string_view text, std::string& out) {
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    if (text.size() < 3 || text[1] != '#') {
        for (const auto& [name, character] : kEntities) {
            if (text.starts_with(name)) {
                out.push_back(character);
                return static_cast<long>(name.size());
            }
        }
        return 0;
    }
    const bool hex = text[2] == 'x';
    std::size_t at = hex ? 3 : 2;
    const std::size_t first = at;
    std::uint32_t value = 0;
    for (int digit; at < text.size() && (digit = digitValue(text[at], hex)) >= 0; ++at)
        value = std::min<std::uint32_t>(value * (hex ? 16 : 10) + static_cast<unsigned>(digit),
                                        0x110000); // saturates: past the last code point
    if (at == first || at == text.size() || text[at] != ';')
        return 0;
    if (value == 0 || value >= 0x110000 || (value >= 0xD800 && value <= 0xDFFF))
        return -1;
    appendUtf8(out, value);
    return static_cast<long>(at + 1);
}

// Appends text with its references decoded; false on a reference to a character XML forbids.
bool appendDecoded(std::string& out, std::string_view text) {
    for (std::size_t amp; (amp = text.find('&')) != std::string_view::npos;) {
        out.append(text.data(), amp);
        text.remove_prefix(amp);
        const long length = decodeReference(text, out);
        if (length < 0)
            return false;
        if (length == 0) {
            out.push_back('&');
            text.remove_prefix(1);
        } else {
            text.remove_prefix(static_cast<std::size_t>(length));
        }
    }
    out.append(text);
    return true;
}

// Whether text between elements is only white space once its references are decoded.
bool isSpaceOnly(const char* text, bool decode) {
    if (!*text || isAllXmlSpace(text))
        return true;
    std::string decoded;
    return decode && appendDecoded(decoded, text) && isAllXmlSpace(decoded);
}

bool isSpaceOnly(pugi::xml_node textNode) {
    return isSpaceOnly(textNode.value(), textNode.type() == pugi::node_pcdata);
}

// The character data of a scalar element: its embedded first text run, then any further text
// and CDATA children in order, references in text decoded, into scratch. False when it holds an
// element, a reference to a character XML forbids, or text that is not UTF-8.
[[gnu::noinline]] bool decodeText(pugi::xml_node element, std::string& scratch) {
    scratch.clear();
    if (!appendDecoded(scratch, element.value()))
        return false;
    for (pugi::xml_node child = element.first_child(); !isNull(child);
         child = child.next_sibling()) {
        const auto type = child.type();
        if (type == pugi::node_cdata)
            scratch.append(child.value());
        else if (type != pugi::node_pcdata || !appendDecoded(scratch, child.value()))
            return false;
    }
    return isValidUtf8(scratch);
}

// Sixteen bytes as one vector (GCC and Clang lower it to SSE2 or NEON, or to words elsewhere).
using Bytes16 = signed char __attribute__((vector_size(16)));

// The length of text in the buffer up to its NUL if the text is plain: printable ASCII without
// '&', and so its own decoding and valid UTF-8; otherwise npos. Sixteen bytes at a time: nearly
// every text of a tool's listing is plain and shorter than that, and this is the one pass it
// costs.
inline std::size_t plainLength(const char* text) {
    // Each read starts below the first NUL at or after text, and the padding holds a NUL and
    // fifteen bytes after it: no read passes the padding.
    for (std::size_t at = 0;; at += 16) {
        Bytes16 bytes;
        std::memcpy(&bytes, text + at, sizeof bytes);
        // 0xFF for each byte below a space (the NUL among them), past ASCII (negative) or '&'.
        const Bytes16 special = (bytes < ' ') | (bytes == '&');
        std::uint64_t words[2];
        std::memcpy(words, &special, sizeof words);
        if (words[0] | words[1]) {
            if constexpr (std::endian::native == std::endian::big)
                for (auto& word : words)
                    word = __builtin_bswap64(word);
            const int bit = words[0] ? std::countr_zero(words[0]) : 64 + std::countr_zero(words[1]);
            const std::size_t end = at + static_cast<std::size_t>(bit) / 8;
            return text[end] == '\0' ? end : std::string_view::npos;
        }
    }
}

// The character data of a scalar element (see decodeText). The view lives until the next call
// with the same scratch (it may point into it) or the document dies.
[[gnu::always_inline]] inline bool textOf(pugi::xml_node element, const Buffer& buffer,
                                          std::string_view& out, std::string& scratch) {
    const char* own = element.value();
    if (buffer.holds(own)) [[likely]] {
        // Text pugixml leaves in place ends where it wrote a NUL over the '<' that ended it, so
        // a '/' after the NUL means the element's end tag came next: nothing follows the text.
        // (Plain text has no line end, so line-end normalisation did not move the NUL.)
        const std::size_t length = plainLength(own);
        if (length != std::string_view::npos && own[length + 1] == '/') {
            out = {own, length};
            return true;
        }
    } else if (!*own && isNull(element.first_child())) {
        out = {};
        return true;
    }
    if (!decodeText(element, scratch))
        return false;
    out = scratch;
    return true;
}

// The next element child from child on, skipping white-space text. Sets failed on other text.
pugi::xml_node nextElement(pugi::xml_node child, bool& failed) {
    for (; child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element)
            return child;
        if (!isText(child) || !isSpaceOnly(child)) {
            failed = true;
            return {};
        }
    }
    return {};
}

// Leading and trailing bytes pugixml would skip silently (it drops text outside the root).
bool outerBytesAreClean(std::string_view bytes) {
    if (bytes.starts_with("\xEF\xBB\xBF"))
        bytes.remove_prefix(3);
    else if (bytes.size() >= 2 &&
             (static_cast<unsigned char>(bytes[0]) >= 0xFE || bytes[0] == '\0' || bytes[1] == '\0'))
        return true; // UTF-16 or UTF-32: pugixml converts; the markup checks still apply
    const std::string_view trimmed = trimXmlSpace(bytes);
    return !trimmed.empty() && trimmed.front() == '<' && trimmed.back() == '>';
}

class Reader {
public:
    explicit Reader(const Buffer& buffer) : buffer_(buffer) {
        // Enough for a tool's listing without growing.
        stack_.reserve(8);
        children_.reserve(64);
    }
    // Reads the value element (the single child of plist) into out.
    bool read(pugi::xml_node root, PlistValue& out);

private:
    struct Child {
        pugi::xml_node node;
        Tag tag;
    };
    struct Frame {
        std::size_t first = 0; // its element children are children_[first, end)
        std::size_t next = 0;  // next child to read
        std::size_t end = 0;
        bool isDictionary = false;
        std::string_view key;   // the container's key in its parent dictionary, unless copied
        std::string keyCopy;    // the key when decoded (keyScratch_ is reused inside)
        bool keyCopied = false; // a view of keyCopy would not follow the frame when stack_ grows
        PlistValue::Array elements;
        PlistValue::Dictionary entries;
    };

    // Opens a frame for a dict or array element under key (when its parent is a dictionary).
    // False when malformed or too deep.
    bool open(Tag tag, pugi::xml_node element, std::string_view key = {});
    // Moves the innermost container, complete, into its parent (or into out at the root).
    void close(PlistValue& out);
    // Reads a scalar element and hands the arguments of its PlistValue constructor to place,
    // which builds the value where it belongs. False when malformed.
    template <class Place> bool scalar(Tag tag, pugi::xml_node element, Place&& place);
    // Read a frame's children from the next on, as far as the first container, which they open
    // (its frame is read next).
    enum class Step { Failed, Opened, Finished };
    Step readEntries(Frame& frame);
    Step readElements(Frame& frame);

    // Frames in use are stack_[0, depth_); deeper ones are kept for reuse. A container joins its
    // parent only when complete, so it is built in place there, never moved in later.
    const Buffer& buffer_;
    std::vector<Frame> stack_;
    std::size_t depth_ = 0;
    // The element children of every open frame, each frame's above its parent's: one buffer
    // for the whole walk rather than one per container.
    std::vector<Child> children_;
    std::string scratch_, keyScratch_; // decoded text; a key's must outlive its value's
};

template <class Place> bool Reader::scalar(Tag tag, pugi::xml_node element, Place&& place) {
    std::string_view text;
    if (!textOf(element, buffer_, text, scratch_))
        return false;
    switch (tag) {
    case Tag::String:
        place(text);
        return true;
    case Tag::Integer: {
        PlistValue::Integer number;
        if (!parseInteger(text, number))
            return false;
        place(number);
        return true;
    }
    case Tag::Real: {
        double number;
        if (!parseReal(text, number))
            return false;
        place(number);
        return true;
    }
    case Tag::True:
    case Tag::False:
        if (!isAllXmlSpace(text))
            return false;
        place(tag == Tag::True);
        return true;
    case Tag::Data: {
        PlistValue::Data bytes;
        if (!decodeBase64(text, bytes))
            return false;
        place(std::move(bytes));
        return true;
    }
    case Tag::Date: {
        double seconds;
        if (!parseDate(text, seconds))
            return false;
        place(PlistValue::Date{seconds});
        return true;
    }
    default:
        return false; // key outside a dict, or an unknown element
    }
}

bool Reader::open(Tag tag, pugi::xml_node element, std::string_view key) {
    if (depth_ >= PlistValue::kMaxDepth || !isSpaceOnly(element.value(), true))
        return false;
    if (depth_ == stack_.size())
        stack_.emplace_back();
    Frame& frame = stack_[depth_++];
    frame.first = frame.next = children_.size();
    frame.isDictionary = tag == Tag::Dict;
    frame.keyCopied = key.data() == keyScratch_.data();
    if (frame.keyCopied)
        frame.keyCopy.assign(key);
    frame.key = frame.keyCopied ? std::string_view() : key;
    // One pass over the children: elements are kept with their tags, white-space text is
    // skipped, other text fails. (With kParseOptions only elements, text and CDATA are stored,
    // and only elements have names.)
    for (pugi::xml_node child = element.first_child(); !isNull(child);
         child = child.next_sibling()) {
        const char* name = child.name();
        if (*name)
            children_.push_back({child, tagOf(nameWord(name, buffer_))});
        else if (!isSpaceOnly(child))
            return false;
    }
    frame.end = children_.size();
    const std::size_t count = frame.end - frame.first;
    // Room for every value up front, so nothing moves while the container fills.
    if (frame.isDictionary) {
        if (count % 2 != 0)
            return false;      // a key without a value (or a value without a key)
        frame.entries.clear(); // moved from, or left by a failed parse
        frame.entries.reserve(count / 2);
    } else {
        frame.elements.clear();
        frame.elements.reserve(count);
    }
    return true;
}

Reader::Step Reader::readEntries(Frame& frame) {
    while (frame.next != frame.end) {
        const Child keyChild = children_[frame.next], valueChild = children_[frame.next + 1];
        frame.next += 2;
        if (keyChild.tag != Tag::Key)
            return Step::Failed; // a value without a key, or something else
        std::string_view key;
        if (!textOf(keyChild.node, buffer_, key, keyScratch_))
            return Step::Failed;
        if (isContainer(valueChild.tag))
            return open(valueChild.tag, valueChild.node, key) ? Step::Opened : Step::Failed;
        if (!scalar(valueChild.tag, valueChild.node, [&](auto&&... arguments) {
                frame.entries.emplace_back(
                    std::piecewise_construct, std::forward_as_tuple(key),
                    std::forward_as_tuple(std::forward<decltype(arguments)>(arguments)...));
            }))
            return Step::Failed;
    }
    return Step::Finished;
}

Reader::Step Reader::readElements(Frame& frame) {
    while (frame.next != frame.end) {
        const Child child = children_[frame.next++];
        if (isContainer(child.tag))
            return open(child.tag, child.node) ? Step::Opened : Step::Failed;
        if (!scalar(child.tag, child.node, [&](auto&&... arguments) {
                frame.elements.emplace_back(std::forward<decltype(arguments)>(arguments)...);
            }))
            return Step::Failed;
    }
    return Step::Finished;
}

bool Reader::read(pugi::xml_node root, PlistValue& out) {
    const Tag rootTag = tagOf(nameWord(root.name(), buffer_));
    if (!isContainer(rootTag))
        return scalar(rootTag, root, [&](auto&&... arguments) {
            out = PlistValue(std::forward<decltype(arguments)>(arguments)...);
        });
    if (!open(rootTag, root))
        return false;
    while (depth_ > 0) {
        // open() may grow stack_ and children_: neither frame nor a reference into children_ is
        // used after a container is opened.
        Frame& frame = stack_[depth_ - 1];
        const Step step = frame.isDictionary ? readEntries(frame) : readElements(frame);
        if (step == Step::Failed)
            return false;
        if (step == Step::Finished)
            close(out);
    }
    return true;
}

void Reader::close(PlistValue& out) {
    Frame& frame = stack_[--depth_];
    children_.resize(frame.first);
    const auto place = [&](auto& container) {
        if (depth_ == 0) {
            out = PlistValue(std::move(container));
            return;
        }
        Frame& parent = stack_[depth_ - 1];
        if (parent.isDictionary)
            parent.entries.emplace_back(std::piecewise_construct,
                                        std::forward_as_tuple(frame.keyCopied
                                                                  ? std::move(frame.keyCopy)
                                                                  : std::string(frame.key)),
                                        std::forward_as_tuple(std::move(container)));
        else
            parent.elements.emplace_back(std::move(container));
    };
    if (frame.isDictionary)
        place(frame.entries);
    else
        place(frame.elements);
}

} // namespace

PlistValue readXml(std::string_view bytes) {
    if (!outerBytesAreClean(bytes))
        return PlistValue();
    Buffer buffer(bytes); // outlives the document, which points into it
    pugi::xml_document document;
    // The length takes in the first NUL of the padding, as load_buffer's own copy ends in one:
    // given the bare bytes, pugixml would stand in for their last one with a NUL and so read
    // "</plist\0>" as a whole end tag.
    pugi::xml_parse_result parsed = document.load_buffer_inplace(
        buffer.data(), buffer.size() + 1, kParseOptions, pugi::encoding_auto);
    switch (parsed.encoding) {
    case pugi::encoding_utf16_le:
    case pugi::encoding_utf16_be:
    case pugi::encoding_utf32_le:
    case pugi::encoding_utf32_be:
        // Converted into a terminated buffer of pugixml's, where the NUL would be one more
        // byte of the last character: read from the bytes as they are.
        parsed =
            document.load_buffer(bytes.data(), bytes.size(), kParseOptions, pugi::encoding_auto);
        break;
    default:
        break;
    }
    if (!parsed)
        return PlistValue();

    // The document: one element, plist. (Skipped markup is not stored, and pugixml keeps no
    // text outside the root.)
    const pugi::xml_node plist = document.first_child();
    if (!plist || plist.next_sibling() || plist.type() != pugi::node_element ||
        std::strcmp(plist.name(), "plist") != 0 || !isSpaceOnly(plist.value(), true))
        return PlistValue();
    bool failed = false;
    const pugi::xml_node root = nextElement(plist.first_child(), failed);
    if (failed || !root)
        return PlistValue();
    if (nextElement(root.next_sibling(), failed) || failed)
        return PlistValue(); // a second value, or text

    PlistValue result;
    Reader reader(buffer);
    if (!reader.read(root, result))
        return PlistValue();
    return result;
}

} // namespace kx::plist
