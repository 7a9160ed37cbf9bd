#include "FuzzSupport.h"

#include "platform/text/Utf8.h"

#include <VivoziZevidodirid/PlistValue.h>
#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Tools.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace vzfuzz {

void fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

namespace {

struct PrivateSystem {
    std::string folder;

    explicit PrivateSystem(const std::string& runningVersion) {
        char pattern[] = "/tmp/vz-fuzz.XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("cannot create a temporary folder");
        folder = pattern;
        const std::string store = folder + "/defaults.plist";
        const PlistValue root(PlistValue::Dictionary{{"KXCurrentSWVers", runningVersion}});
        std::ofstream(store) << root.xml();

        kx::SystemPaths paths = kx::systemPaths();
        const std::string missing = folder + "/missing-tool";
        paths.periodic = paths.diskutil = paths.swVers = paths.tmutil = paths.sqlite3 = missing;
        paths.temporaryDirectory = folder;
        paths.mountTable = folder + "/mounts";
        paths.userDefaults = store;
        kx::setSystemPaths(paths);
    }
    ~PrivateSystem() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

} // namespace

const std::string& privateSystem(const std::string& runningVersion) {
    static const PrivateSystem system(runningVersion);
    return system.folder;
}

void checkWrittenForm(const PlistValue& value) {
    const std::string xml = value.xml();
    VZ_FUZZ_CHECK(xml.empty() == value.isAbsent());
    if (value.isAbsent())
        return;
    const PlistValue reread = PlistValue::parse(xml);
    VZ_FUZZ_CHECK(!reread.isAbsent());
    VZ_FUZZ_CHECK(reread.xml() == xml);
    VZ_FUZZ_CHECK(!value.description().empty());
    VZ_FUZZ_CHECK(KXDeepMutableCopyPropertyListObject(value).xml() == xml);
}

void checkText(const PlistValue& value) {
    const auto isText = [](std::string_view text) {
        return kx::isValidUtf8(text) && text.find('\0') == std::string_view::npos;
    };
    std::vector<const PlistValue*> pending{&value};
    while (!pending.empty()) {
        const PlistValue& next = *pending.back();
        pending.pop_back();
        if (const auto text = next.stringValue())
            VZ_FUZZ_CHECK(isText(*text));
        if (const PlistValue::Array* elements = next.arrayElements())
            for (const PlistValue& element : *elements)
                pending.push_back(&element);
        if (const PlistValue::Dictionary* entries = next.dictionaryEntries())
            for (const auto& [key, entry] : *entries) {
                VZ_FUZZ_CHECK(isText(key));
                pending.push_back(&entry);
            }
    }
}

} // namespace vzfuzz
