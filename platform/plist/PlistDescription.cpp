// The human-readable form: the old-style (OpenStep) text property list, as Cocoa logs a
// dictionary.
//
//   {
//       BuildVersion = 22G74;
//       ProductName = macOS;
//       ProductVersion = "13.5";
//       Roles = (
//           System,
//           Data
//       );
//   }
//
// - Dictionaries in braces, one "key = value;" per line; arrays in parentheses, one value per
//   line, separated by commas; each level indented by four spaces. Empty ones are "{\n}" and
//   "(\n)" (as Cocoa shows them).
// - Strings and keys are written bare when they are non-empty and hold only ASCII letters,
//   digits, '_' and '$'; otherwise quoted, with '"' and '\' escaped by a backslash, line feed,
//   tab and carriage return as \n, \t, \r, other control characters as \UXXXX. (So "13.5" and
//   "/usr/bin" are quoted, as Cocoa quotes them.) Other UTF-8 is written as it is.
// - Integers and reals as numbers (reals in their shortest exact form, nan, inf, -inf);
//   booleans as 1 and 0; data as <0a0b0c0d 0e0f> up to 32 bytes, longer as
//   {length = N, bytes = 0x<first 16 bytes> ... <last 8 bytes>}; dates as
//   "YYYY-MM-DD HH:MM:SS +0000" (whole seconds, UTC).
// - An absent value is "(null)"; absent elements and values inside containers are left out.
//
// Iterative (walkTree): a tree of any depth is described without recursion.

#include "platform/plist/PlistDateText.h"
#include "platform/plist/PlistNumberText.h"
#include "platform/plist/PlistTreeWalk.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <charconv>
#include <cmath>
#include <string>

namespace {

using namespace kx::plist;

constexpr char kHex[] = "0123456789abcdef";

bool isBare(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '$';
        if (!plain)
            return false;
    }
    return true;
}

void appendString(std::string& out, std::string_view text) {
    if (isBare(text)) {
        out.append(text);
        return;
    }
    out.push_back('"');
    for (char c : text) {
        switch (c) {
        case '"':
            out.append("\\\"");
            break;
        case '\\':
            out.append("\\\\");
            break;
        case '\n':
            out.append("\\n");
            break;
        case '\t':
            out.append("\\t");
            break;
        case '\r':
            out.append("\\r");
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out.append("\\U00");
                out.push_back(kHex[(c >> 4) & 0x0F]);
                out.push_back(kHex[c & 0x0F]);
            } else {
                out.push_back(c);
            }
        }
    }
    out.push_back('"');
}

void appendHex(std::string& out, const std::uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (i && i % 4 == 0)
            out.push_back(' ');
        out.push_back(kHex[bytes[i] >> 4]);
        out.push_back(kHex[bytes[i] & 0x0F]);
    }
}

void appendData(std::string& out, const PlistValue::Data& bytes) {
    if (bytes.size() <= 32) {
        out.push_back('<');
        appendHex(out, bytes.data(), bytes.size());
        out.push_back('>');
        return;
    }
    out.append("{length = ");
    out.append(std::to_string(bytes.size()));
    out.append(", bytes = 0x");
    appendHex(out, bytes.data(), 16);
    out.append(" ... ");
    appendHex(out, bytes.data() + bytes.size() - 8, 8);
    out.push_back('}');
}

void appendTwo(std::string& out, unsigned value) {
    out.push_back(static_cast<char>('0' + value / 10));
    out.push_back(static_cast<char>('0' + value % 10));
}

void appendDateText(std::string& out, double seconds) {
    if (!isWithinDateRange(seconds)) {
        appendReal(out, seconds); // no calendar form
        return;
    }
    const CivilTime t = civilFromSeconds(static_cast<std::int64_t>(std::floor(seconds)));
    out.push_back('"');
    if (t.year < 0)
        out.push_back('-');
    const std::string year = std::to_string(t.year < 0 ? -t.year : t.year);
    if (year.size() < 4)
        out.append(4 - year.size(), '0');
    out.append(year);
    out.push_back('-');
    appendTwo(out, t.month);
    out.push_back('-');
    appendTwo(out, t.day);
    out.push_back(' ');
    appendTwo(out, t.hour);
    out.push_back(':');
    appendTwo(out, t.minute);
    out.push_back(':');
    appendTwo(out, t.second);
    out.append(" +0000\"");
}

// Writes a scalar, or the opening of a container (returning true).
bool appendValue(std::string& out, const PlistValue& value) {
    switch (value.kind()) {
    case PlistValue::Kind::Dictionary:
        out.append("{\n");
        return true;
    case PlistValue::Kind::Array:
        out.append("(\n");
        return true;
    case PlistValue::Kind::String:
        appendString(out, *value.stringValue());
        break;
    case PlistValue::Kind::Integer: {
        const auto& number = *value.integer();
        out.append(number.isUnsigned ? std::to_string(number.bits)
                                     : std::to_string(static_cast<std::int64_t>(number.bits)));
        break;
    }
    case PlistValue::Kind::Real:
        appendReal(out, *value.real());
        break;
    case PlistValue::Kind::Boolean:
        out.push_back(*value.boolean() ? '1' : '0');
        break;
    case PlistValue::Kind::Data:
        appendData(out, *value.data());
        break;
    case PlistValue::Kind::Date:
        appendDateText(out, value.date()->secondsSinceReferenceDate);
        break;
    case PlistValue::Kind::Absent:
        out.append("(null)");
        break;
    }
    return false;
}

void appendIndent(std::string& out, std::size_t level) {
    out.append(4 * level, ' ');
}

struct DescriptionWriter {
    std::string& out;

    bool open(const std::string* key, const PlistValue& value, std::size_t depth,
              std::size_t index) {
        if (key) {
            appendIndent(out, depth);
            appendString(out, *key);
            out.append(" = ");
        } else {
            if (index)
                out.append(",\n");
            appendIndent(out, depth);
        }
        const bool opened = appendValue(out, value);
        if (!opened && key)
            out.append(";\n");
        return opened;
    }

    void close(const std::string* key, const PlistValue& container, std::size_t depth,
               std::size_t childrenVisited) {
        const bool isDictionary = container.isDictionary();
        if (!isDictionary && childrenVisited)
            out.push_back('\n');
        appendIndent(out, depth);
        out.push_back(isDictionary ? '}' : ')');
        // What follows a closed container: ";" in a dictionary, the next "," in an array.
        if (key)
            out.append(";\n");
    }
};

} // namespace

std::string PlistValue::description() const {
    std::string out;
    DescriptionWriter writer{out};
    walkTree(*this, writer);
    return out;
}
