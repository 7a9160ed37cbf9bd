#include "platform/plist/PlistReaders.h"

#include <VivoziZevidodirid/PlistValue.h>

PlistValue PlistValue::parse(std::string_view bytes) {
    if (bytes.empty())
        return PlistValue();
    if (bytes.starts_with("bplist"))
        return kx::plist::readBinary(bytes); // only version "00" is read
    // Anything else is taken for XML; old-style text property lists fail there.
    return kx::plist::readXml(bytes);
}
