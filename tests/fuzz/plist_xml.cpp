// PlistValue::parse on any bytes (XML, and whatever else a tool may print).
#include "FuzzSupport.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const PlistValue value = PlistValue::parse(bytes);
    vzfuzz::checkText(value);
    vzfuzz::checkWrittenForm(value);
    return 0;
}
