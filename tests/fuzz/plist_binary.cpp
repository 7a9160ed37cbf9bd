// The binary property-list reader: every input is read as the body of a "bplist00" file, so that
// mutations spend their time past the magic number.
#include "FuzzSupport.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::string prefixed;
    if (!bytes.starts_with("bplist")) {
        prefixed.reserve(size + 8);
        prefixed.append("bplist00").append(bytes);
        bytes = prefixed;
    }
    const PlistValue value = PlistValue::parse(bytes);
    vzfuzz::checkText(value);
    vzfuzz::checkWrittenForm(value);
    return 0;
}
