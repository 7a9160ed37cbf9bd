// The XML property-list writer, in the form Apple's tools write: declaration, DOCTYPE, a
// version 1.0 plist element, one tab of indentation per level, empty containers as <dict/> and
// <array/>, data as base64 lines at the tag's indentation.
//
// Text escapes '&', '<' and '>'; a carriage return is written "&#13;" so that it survives the
// reader's line-end normalisation, other control characters as "&#xN;" (pugixml reads them
// back; XML 1.0 has no form for them at all), and a NUL byte, which no XML can carry, is left
// out. Reals, integers and dates are written so that the reader gives back the same value
// (PlistNumberText.h, PlistDateText.h). Absent elements of an array and absent values of a
// dictionary (with their keys) are left out.
//
// Iterative (walkTree): a tree of any depth is written without recursion.

#include "platform/plist/PlistBase64.h"
#include "platform/plist/PlistDateText.h"
#include "platform/plist/PlistNumberText.h"
#include "platform/plist/PlistTreeWalk.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <charconv>
#include <string>

namespace {

using namespace kx::plist;

constexpr std::string_view kPrologue = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                       "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                       "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                                       "<plist version=\"1.0\">\n";
constexpr std::string_view kEpilogue = "</plist>\n";
constexpr std::size_t kBase64LineLength = 76;

void appendEscaped(std::string& out, std::string_view text) {
    std::size_t run = 0; // start of the pending run of plain characters
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c > '>' || (c >= 0x20 && c != '&' && c != '<' && c != '>') || c == '\t' || c == '\n')
            continue;
        out.append(text.data() + run, i - run);
        run = i + 1;
        switch (c) {
        case '&':
            out.append("&amp;");
            break;
        case '<':
            out.append("&lt;");
            break;
        case '>':
            out.append("&gt;");
            break;
        case '\r':
            out.append("&#13;");
            break;
        case 0:
            break;
        default: {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out.append("&#x");
            if (c >= 0x10)
                out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
            out.push_back(';');
            break;
        }
        }
    }
    out.append(text.data() + run, text.size() - run);
}

void appendIndent(std::string& out, std::size_t depth) {
    out.append(depth, '\t');
}

void appendElement(std::string& out, std::string_view tag, std::string_view escapedText) {
    out.push_back('<');
    out.append(tag);
    out.push_back('>');
    out.append(escapedText);
    out.append("</");
    out.append(tag);
    out.append(">\n");
}

// Writes a scalar at depth (indentation already written), or the opening of a container;
// returns true for an opened non-empty container.
bool appendValue(std::string& out, const PlistValue& value, std::size_t depth) {
    switch (value.kind()) {
    case PlistValue::Kind::Dictionary:
    case PlistValue::Kind::Array: {
        const bool isDictionary = value.isDictionary();
        if (value.count() == 0) {
            out.append(isDictionary ? "<dict/>\n" : "<array/>\n");
            return false;
        }
        out.append(isDictionary ? "<dict>\n" : "<array>\n");
        return true;
    }
    case PlistValue::Kind::String:
        out.append("<string>");
        appendEscaped(out, *value.stringValue());
        out.append("</string>\n");
        return false;
    case PlistValue::Kind::Integer: {
        const auto& number = *value.integer();
        char buffer[24];
        auto [end, ec] = number.isUnsigned
                             ? std::to_chars(buffer, buffer + sizeof buffer, number.bits)
                             : std::to_chars(buffer, buffer + sizeof buffer,
                                             static_cast<std::int64_t>(number.bits));
        appendElement(out, "integer", std::string_view(buffer, end - buffer));
        return false;
    }
    case PlistValue::Kind::Real: {
        std::string text;
        appendReal(text, *value.real());
        appendElement(out, "real", text);
        return false;
    }
    case PlistValue::Kind::Boolean:
        out.append(*value.boolean() ? "<true/>\n" : "<false/>\n");
        return false;
    case PlistValue::Kind::Data: {
        const auto& bytes = *value.data();
        if (bytes.empty()) {
            out.append("<data></data>\n");
            return false;
        }
        out.append("<data>\n");
        const std::string indent(depth, '\t');
        appendBase64Lines(out, bytes.data(), bytes.size(), indent, kBase64LineLength);
        out.append(indent);
        out.append("</data>\n");
        return false;
    }
    case PlistValue::Kind::Date: {
        std::string text;
        appendDate(text, value.date()->secondsSinceReferenceDate);
        appendElement(out, "date", text);
        return false;
    }
    case PlistValue::Kind::Absent:
        break;
    }
    return false;
}

struct XmlWriter {
    std::string& out;

    bool open(const std::string* key, const PlistValue& value, std::size_t depth, std::size_t) {
        if (key) {
            appendIndent(out, depth);
            out.append("<key>");
            appendEscaped(out, *key);
            out.append("</key>\n");
        }
        appendIndent(out, depth);
        return appendValue(out, value, depth);
    }

    void close(const std::string*, const PlistValue& container, std::size_t depth, std::size_t) {
        appendIndent(out, depth);
        out.append(container.isDictionary() ? "</dict>\n" : "</array>\n");
    }
};

} // namespace

std::string PlistValue::xml() const {
    if (isAbsent())
        return {};
    std::string out;
    out.reserve(kPrologue.size() + kEpilogue.size() + 256);
    out.append(kPrologue);
    XmlWriter writer{out};
    walkTree(*this, writer);
    out.append(kEpilogue);
    return out;
}
