#pragma once

// The base64 text of <data> elements. Internal to platform/plist.

#include <VivoziZevidodirid/PlistValue.h>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kx::plist {

// RFC 4648 alphabet. Decoding skips XML white space anywhere, accepts the text with or without
// its '=' padding, and fails on any other character, on '=' anywhere but the end, and on a
// length that leaves a single dangling character.
bool decodeBase64(std::string_view text, PlistValue::Data& out);
// Appends the encoding of bytes as lines of at most lineLength characters, each line preceded
// by indent and followed by '\n'. Nothing is appended for no bytes.
void appendBase64Lines(std::string& out, const std::uint8_t* bytes, std::size_t size,
                       std::string_view indent, std::size_t lineLength);

} // namespace kx::plist
