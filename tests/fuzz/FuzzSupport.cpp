#include "FuzzSupport.h"

#include "platform/text/Utf8.h"
#include "support/TestSupport.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Tools.h>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vzfuzz {

void fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

const std::string& privateSystem() {
    static const struct System {
        vztest::TempDir dir;
        vztest::ScopedSystemPaths paths;
        System() {
            const PlistValue root(PlistValue::Dictionary{{"KXCurrentSWVers", "13.5"}});
            vztest::writeFile(dir.file("defaults.plist"), root.xml());
            using P = kx::SystemPaths;
            for (const auto tool :
                 {&P::periodic, &P::diskutil, &P::swVers, &P::tmutil, &P::sqlite3})
                paths.set(tool, dir.file("missing-tool"));
            paths.set(&P::temporaryDirectory, dir.path())
                .set(&P::mountTable, dir.file("mounts"))
                .set(&P::userDefaults, dir.file("defaults.plist"));
        }
    } system;
    return system.dir.path();
}

namespace {

bool isText(std::string_view text) {
    return kx::isValidUtf8(text) && text.find('\0') == std::string_view::npos;
}

// Recursive: the readers nest containers no deeper than PlistValue::kMaxDepth.
void checkText(const PlistValue& value) {
    if (const auto text = value.stringValue())
        VZ_FUZZ_CHECK(isText(*text));
    if (const PlistValue::Array* elements = value.arrayElements())
        for (const PlistValue& element : *elements)
            checkText(element);
    if (const PlistValue::Dictionary* entries = value.dictionaryEntries())
        for (const auto& [key, entry] : *entries) {
            VZ_FUZZ_CHECK(isText(key));
            checkText(entry);
        }
}

} // namespace

void checkParsed(const PlistValue& value) {
    checkText(value);
    const std::string xml = value.xml();
    VZ_FUZZ_CHECK(xml.empty() == value.isAbsent());
    if (value.isAbsent())
        return;
    VZ_FUZZ_CHECK(PlistValue::parse(xml).xml() == xml); // so never absent
    VZ_FUZZ_CHECK(!value.description().empty());
    VZ_FUZZ_CHECK(KXDeepMutableCopyPropertyListObject(value).xml() == xml);
}

} // namespace vzfuzz
