#include "platform/text/Utf8.h"

#include <climits>
#include <unicode/utf8.h>

namespace kx {

bool isValidUtf8(std::string_view bytes) {
    // ICU's macro takes an int32_t length; a sequence is at most four bytes long, so capping the
    // length it sees changes nothing for texts beyond 2 GiB.
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        // ASCII runs need no decoding.
        if (data[offset] < 0x80) {
            ++offset;
            continue;
        }
        const std::size_t remaining = bytes.size() - offset;
        const std::int32_t length =
            remaining > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(remaining);
        std::int32_t index = 0;
        UChar32 codePoint = 0;
        U8_NEXT(data + offset, index, length, codePoint);
        if (codePoint < 0)
            return false;
        offset += static_cast<std::size_t>(index);
    }
    return true;
}

} // namespace kx
