#pragma once

// Helpers shared by the property-list tests.

#include <VivoziZevidodirid/PlistValue.h>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

// gtest shows a value by its description.
inline void PrintTo(const PlistValue& value, std::ostream* out) {
    *out << value.description();
}

namespace plisttest {

inline constexpr std::string_view kPrologue =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

// A complete document around body (the content of the plist element).
inline std::string document(std::string_view body) {
    return std::string(kPrologue) + "<plist version=\"1.0\">\n" + std::string(body) +
           "\n</plist>\n";
}

inline PlistValue dict(std::initializer_list<std::pair<std::string, PlistValue>> entries) {
    return PlistValue(PlistValue::Dictionary(entries));
}
inline PlistValue array(std::initializer_list<PlistValue> elements) {
    return PlistValue(PlistValue::Array(elements));
}
inline PlistValue data(std::initializer_list<std::uint8_t> bytes) {
    return PlistValue(PlistValue::Data(bytes));
}
inline PlistValue date(double seconds) {
    return PlistValue(PlistValue::Date{seconds});
}
inline PlistValue real(double number) {
    return PlistValue(number);
}
inline PlistValue integer(std::int64_t number) {
    return PlistValue(number);
}

// innermost inside n pairs of open and close tags.
inline std::string nested(std::size_t n, std::string_view innermost,
                          std::string_view open = "<array>", std::string_view close = "</array>") {
    std::string text;
    for (std::size_t i = 0; i < n; ++i)
        text += open;
    text += innermost;
    for (std::size_t i = 0; i < n; ++i)
        text += close;
    return text;
}

// How many arrays nest from value down, each entered at its first element; innermost is set to
// the first value that is not an array.
inline std::size_t arrayNesting(const PlistValue& value, const PlistValue** innermost) {
    const PlistValue* cursor = &value;
    std::size_t depth = 0;
    for (; cursor->isArray(); ++depth)
        cursor = &(*cursor)[0];
    *innermost = cursor;
    return depth;
}

} // namespace plisttest
