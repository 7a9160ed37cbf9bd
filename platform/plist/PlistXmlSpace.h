#pragma once

// XML white space, as the property-list text forms allow it around and inside their values.
// Internal to platform/plist.

#include <string_view>

namespace kx::plist {

// Space, tab, line feed, carriage return.
inline bool isXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline bool isAllXmlSpace(std::string_view text) {
    for (char c : text)
        if (!isXmlSpace(c))
            return false;
    return true;
}

inline std::string_view trimXmlSpace(std::string_view text) {
    while (!text.empty() && isXmlSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isXmlSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace kx::plist
