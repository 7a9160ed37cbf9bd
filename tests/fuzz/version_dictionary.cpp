// The version dictionary built from whatever the version tool prints: as the library reads it
// (ASCII only), and straight from any bytes to reach the Unicode trimming.
#include "FuzzSupport.h"
#include "tools/ToolRunner.h"
#include "version/VersionDictionary.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    vz::versionDictionaryFromText(bytes).description();

    const auto text = vz::textFromToolOutput(vz::ToolOutput(bytes));
    if (!text)
        return 0;
    const PlistValue dictionary = vz::versionDictionaryFromText(*text);
    VZ_FUZZ_CHECK(dictionary.isDictionary());
    for (const auto& [key, value] : *dictionary.dictionaryEntries()) {
        VZ_FUZZ_CHECK(key.find(':') == std::string::npos && key.find('\n') == std::string::npos);
        const auto valueText = value.stringValue();
        VZ_FUZZ_CHECK(valueText && valueText->find(':') == std::string_view::npos);
        // Trimmed of ASCII white space and line breaks (the C locale's isspace).
        VZ_FUZZ_CHECK(valueText->empty() ||
                      (!std::isspace(static_cast<unsigned char>(valueText->front())) &&
                       !std::isspace(static_cast<unsigned char>(valueText->back()))));
    }
    // It is cached in the defaults store, which keeps only what reads back the same; XML cannot
    // carry a NUL byte at all.
    if (bytes.find('\0') == std::string_view::npos)
        VZ_FUZZ_CHECK(PlistValue::parse(dictionary.xml()) == dictionary);
    return 0;
}
