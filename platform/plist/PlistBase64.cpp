#include "platform/plist/PlistBase64.h"

#include <array>

namespace kx::plist {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t kSpace = 0xFD;
constexpr std::uint8_t kPad = 0xFE;
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table)
        entry = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kBase64Alphabet[i])] = i;
    table[static_cast<unsigned char>('=')] = kPad;
    for (char c : {' ', '\t', '\n', '\r'})
        table[static_cast<unsigned char>(c)] = kSpace;
    return table;
}

constexpr auto kDecodeTable = makeDecodeTable();

} // namespace

bool decodeBase64(std::string_view text, PlistValue::Data& out) {
    out.clear();
    out.reserve(text.size() / 4 * 3 + 3);
    std::uint32_t accumulator = 0;
    unsigned pending = 0; // sextets in accumulator
    unsigned padding = 0;
    for (char c : text) {
        const std::uint8_t value = kDecodeTable[static_cast<unsigned char>(c)];
        if (value < 64) {
            if (padding)
                return false; // data after '='
            accumulator = (accumulator << 6) | value;
            if (++pending == 4) {
                out.push_back(static_cast<std::uint8_t>(accumulator >> 16));
                out.push_back(static_cast<std::uint8_t>(accumulator >> 8));
                out.push_back(static_cast<std::uint8_t>(accumulator));
                accumulator = 0;
                pending = 0;
            }
        } else if (value == kSpace) {
            continue;
        } else if (value == kPad) {
            if (++padding > 2)
                return false;
        } else {
            return false;
        }
    }
    if (padding && pending + padding != 4)
        return false;
    switch (pending) {
    case 0:
        return padding == 0;
    case 1:
        return false;
    case 2:
        out.push_back(static_cast<std::uint8_t>(accumulator >> 4));
        return true;
    default: // 3
        out.push_back(static_cast<std::uint8_t>(accumulator >> 10));
        out.push_back(static_cast<std::uint8_t>(accumulator >> 2));
        return true;
    }
}

void appendBase64Lines(std::string& out, const std::uint8_t* bytes, std::size_t size,
                       std::string_view indent, std::size_t lineLength) {
    std::size_t column = 0;
    auto put = [&](char c) {
        if (column == 0)
            out.append(indent);
        out.push_back(c);
        if (++column == lineLength) {
            out.push_back('\n');
            column = 0;
        }
    };
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        const std::uint32_t v =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        put(kBase64Alphabet[(v >> 18) & 63]);
        put(kBase64Alphabet[(v >> 12) & 63]);
        put(kBase64Alphabet[(v >> 6) & 63]);
        put(kBase64Alphabet[v & 63]);
    }
    if (size - i == 1) {
        const std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        put(kBase64Alphabet[(v >> 18) & 63]);
        put(kBase64Alphabet[(v >> 12) & 63]);
        put('=');
        put('=');
    } else if (size - i == 2) {
        const std::uint32_t v =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        put(kBase64Alphabet[(v >> 18) & 63]);
        put(kBase64Alphabet[(v >> 12) & 63]);
        put(kBase64Alphabet[(v >> 6) & 63]);
        put('=');
    }
    if (column != 0)
        out.push_back('\n');
}

} // namespace kx::plist
