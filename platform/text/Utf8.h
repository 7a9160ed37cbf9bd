#pragma once

#include <string_view>

namespace kx {

// Whether bytes are well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF).
bool isValidUtf8(std::string_view bytes);

} // namespace kx
