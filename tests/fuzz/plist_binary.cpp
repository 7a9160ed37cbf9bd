// The binary property-list reader: every input is read as the body of a "bplist00" file, so that
// mutations spend their time past the magic number.
#include "FuzzSupport.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The input itself where it has the magic number, so that a read past its end is caught.
    vzfuzz::checkParsed(
        PlistValue::parse(bytes.starts_with("bplist") ? bytes : "bplist00" + std::string(bytes)));
    return 0;
}
