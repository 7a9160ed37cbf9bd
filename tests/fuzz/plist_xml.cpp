// PlistValue::parse on any bytes (XML, and whatever else a tool may print).
#include "FuzzSupport.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vzfuzz::checkParsed(
        PlistValue::parse(std::string_view(reinterpret_cast<const char*>(data), size)));
    return 0;
}
