#include "platform/defaults/UserDefaults.h"
#include "platform/files/SourceFingerprint.h"
#include "platform/log/Log.h"
#include "platform/text/CharacterClasses.h"
#include "tools/ToolRunner.h"
#include "version/MacOSGate.h"
#include "version/NumericCompare.h"
#include "version/VersionDictionary.h"

#include <VivoziZevidodirid/SystemPaths.h>
#include <VivoziZevidodirid/Version.h>
#include <algorithm>
#include <array>
#include <string>
#include <vector>

namespace {

constexpr std::string_view kVersionKey = "KXCurrentSWVers";
constexpr std::string_view kDictionaryKey = "KXCurrentSWVersDict";
// The fingerprint of the version tool's sources when the two keys were learned. A store without
// one (an older build's, another program's) is trusted as it is.
constexpr std::string_view kFingerprintKey = "KXCurrentSWVersSources";

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

// "" when the tool cannot run or prints nothing; nullopt when its output is not ASCII.
std::optional<std::string> versionFromTool() {
    const std::optional<std::string> text = vz::textFromToolOutput(vz::runToolReadingOutput(
        kx::systemPaths().swVers, std::vector<std::string>{"-productVersion"}));
    if (!text)
        return std::nullopt;
    return text->substr(0, text->find('\n'));
}

PlistValue dictionaryFromTool() {
    const std::optional<std::string> text =
        vz::textFromToolOutput(vz::runToolReadingOutput(kx::systemPaths().swVers, std::nullopt));
    return vz::versionDictionaryFromText(text.value_or(""));
}

// What a caller needs: the version text, the dictionary, or whether the system is macOS (and
// then the version text as well).
enum Wanted : unsigned { kVersion = 1, kDictionary = 2, kMacOSVersion = 4 };

struct Answers {
    std::optional<std::string> version; // nullopt when not wanted, or not ASCII
    PlistValue dictionary;              // absent when not wanted
    bool macOS = true;
};

// The product names of macOS; a dictionary without one is taken for macOS too.
bool namesMacOS(const PlistValue& dictionary) {
    constexpr std::array<std::string_view, 3> kNames = {"Mac OS X", "Mac OS X Server", "macOS"};
    const std::string_view product =
        dictionary["ProductName"].stringValue().value_or(std::string_view());
    return product.empty() || std::find(kNames.begin(), kNames.end(), product) != kNames.end();
}

// A cached value of another kind, or the "" or empty dictionary an older build stored after a
// failure, counts as nothing cached.
std::optional<std::string_view> cachedVersion(const PlistValue& root) {
    const std::optional<std::string_view> text = root[kVersionKey].stringValue();
    return text && !text->empty() ? text : std::nullopt;
}
const PlistValue* cachedDictionary(const PlistValue& root) {
    const PlistValue& dictionary = root[kDictionaryKey];
    return dictionary.isDictionary() && dictionary.count() > 0 ? &dictionary : nullptr;
}

// The cached answers, the wanted ones learned from the tool when missing. Only a usable answer is
// stored: a failed or empty one holds for this call alone, so that the next asks again.
Answers systemVersion(unsigned wanted) {
    kx::UserDefaults& defaults = kx::UserDefaults::standard();
    const std::string& fingerprint = kx::versionSourceFingerprint();
    // Every test and read comes from one look at the store, so a warm call costs one stat.
    const kx::UserDefaults::Snapshot store = defaults.snapshot();
    const PlistValue& stamp = store.root()[kFingerprintKey];
    const bool stamped = !stamp.isAbsent();
    const bool stale = stamped && !stamp.isEqualToString(fingerprint);
    const std::optional<std::string_view> version =
        stale ? std::nullopt : cachedVersion(store.root());
    const PlistValue* dictionary = stale || !(wanted & (kDictionary | kMacOSVersion))
                                       ? nullptr
                                       : cachedDictionary(store.root());

    Answers answers;
    if (dictionary) {
        if (wanted & kDictionary)
            answers.dictionary = *dictionary;
        answers.macOS = namesMacOS(*dictionary);
    }
    if (version && ((wanted & kVersion) || ((wanted & kMacOSVersion) && answers.macOS)))
        answers.version = std::string(*version);
    const bool learnDictionary = (stale || (wanted & (kDictionary | kMacOSVersion))) && !dictionary;
    // Whether a macOS version is wanted waits for the product name when that is learned now.
    const bool learnVersion =
        !version && (stale || (wanted & kVersion) ||
                     ((wanted & kMacOSVersion) && (learnDictionary || answers.macOS)));
    if (!learnDictionary && !learnVersion)
        return answers;
    // An unstamped value learned earlier may predate an update: the stamp is set only beside
    // values learned now.
    const bool stampWhenLearned =
        stale || (!stamped && !version && !cachedDictionary(store.root()));

    // After a system update both keys are learned again, even one not wanted now.
    bool learned = false;
    if (learnDictionary) {
        PlistValue fresh = dictionaryFromTool();
        if (fresh.count() > 0) {
            kx::logLine(fresh.description());
            learned |= defaults.setValueForKey(kDictionaryKey, fresh);
        } else if (stale) {
            defaults.removeObjectForKey(kDictionaryKey);
        }
        answers.macOS = namesMacOS(fresh);
        if (wanted & kDictionary)
            answers.dictionary = std::move(fresh);
    }
    if (learnVersion && (stale || (wanted & kVersion) || answers.macOS)) {
        answers.version = versionFromTool();
        if (answers.version && !answers.version->empty())
            learned |= defaults.setValueForKey(kVersionKey, *answers.version);
        else if (stale)
            defaults.removeObjectForKey(kVersionKey);
    }
    // Last, so that a store stamped with this fingerprint holds nothing older.
    if (stale || (learned && stampWhenLearned))
        defaults.setValueForKey(kFingerprintKey, fingerprint);
    return answers;
}

std::int64_t compareRunningWith(const std::optional<std::string>& running,
                                std::optional<std::string_view> version) {
    if (!version || !running || version->empty())
        return 0;
    // An ASCII end other than a letter, space or tab is no letter, mark or white space in any
    // script: the usual dotted version needs no look at the character classes.
    const auto kept = [](char c) {
        return c > 0 && c != ' ' && c != '\t' && !(c >= 'A' && c <= 'Z') && !(c >= 'a' && c <= 'z');
    };
    if (kept(version->front()) && kept(version->back()))
        return vz::compareNumerically(*running, *version);
    return vz::compareNumerically(*running, kx::trimLettersAndWhitespace(*version));
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

bool runningMacOSOlderThan(std::string_view version) {
    const Answers answers = systemVersion(kMacOSVersion);
    return answers.macOS && compareRunningWith(answers.version, version) == -1;
}

} // namespace vz

std::optional<std::string> KXGetCurrentSystemString() {
    return systemVersion(kVersion).version;
}

PlistValue KXGetCurrentSystemDictionary() {
    return systemVersion(kDictionary).dictionary;
}

std::int64_t KXCompareCurrentSystemVersionWith(std::optional<std::string_view> version) {
    // Fetched first, so that even a call that compares nothing fills the cache.
    return compareRunningWith(systemVersion(kVersion).version, version);
}
