#include "platform/defaults/UserDefaults.h"
#include "platform/log/Log.h"
#include "platform/text/CharacterClasses.h"
#include "tools/ToolRunner.h"
#include "version/NumericCompare.h"
#include "version/VersionDictionary.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Version.h>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kVersionKey = "KXCurrentSWVers";
constexpr std::string_view kDictionaryKey = "KXCurrentSWVersDict";

// Every piece between separators, empty ones included.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos)
            return pieces;
        start = end + 1;
    }
}

} // namespace

namespace vz {

PlistValue versionDictionaryFromText(std::string_view text) {
    PlistValue dictionary = PlistValue::dictionary();
    for (const std::string_view line : split(text, '\n')) {
        const std::vector<std::string_view> pieces = split(line, ':');
        if (pieces.size() < 2)
            continue;
        // The name stays as printed; only the value is trimmed, and text after a second colon
        // is dropped.
        dictionary.setValueForKey(pieces[0], PlistValue(kx::trimWhitespaceAndNewlines(pieces[1])));
    }
    return dictionary;
}

} // namespace vz

std::optional<std::string> KXGetCurrentSystemString() {
    kx::UserDefaults& defaults = kx::UserDefaults::standard();
    {
        // The presence test and the read returned come from one look at the store, so an
        // outside change costs one stat per call.
        const kx::UserDefaults::Snapshot store = defaults.snapshot();
        if (store.stringForKey(kVersionKey))
            return store.stringForKey(kVersionKey);
    }
    const std::optional<std::string> text = vz::textFromToolOutput(vz::runToolReadingOutput(
        kx::systemPaths().swVers, std::vector<std::string>{"-productVersion"}));
    std::optional<std::string> version;
    if (text)
        version = text->substr(0, text->find('\n'));
    // Not ASCII: storing no value clears the key, and the next call asks the tool again.
    defaults.setValueForKey(kVersionKey, version ? PlistValue(*version) : PlistValue());
    return version;
}

PlistValue KXGetCurrentSystemDictionary() {
    kx::UserDefaults& defaults = kx::UserDefaults::standard();
    {
        const kx::UserDefaults::Snapshot store = defaults.snapshot();
        if (!store.dictionaryForKey(kDictionaryKey).isAbsent())
            return store.dictionaryForKey(kDictionaryKey);
    }
    const std::optional<std::string> text =
        vz::textFromToolOutput(vz::runToolReadingOutput(kx::systemPaths().swVers, std::nullopt));
    PlistValue dictionary = vz::versionDictionaryFromText(text.value_or(""));
    kx::logLine(dictionary.description());
    defaults.setValueForKey(kDictionaryKey, dictionary);
    return dictionary;
}

std::int64_t KXCompareCurrentSystemVersionWith(std::optional<std::string_view> version) {
    // Fetched first, so that even a call that compares nothing fills the cache.
    const std::optional<std::string> running = KXGetCurrentSystemString();
    if (!version || !running || version->empty())
        return 0;
    return vz::compareNumerically(*running, kx::trimLettersAndWhitespace(*version));
}
