#include <VivoziZevidodirid/PlistValue.h>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>

namespace {

const PlistValue& absentValue() {
    static const PlistValue absent;
    return absent;
}

using Entry = std::pair<std::string, PlistValue>;

bool keyLess(const Entry& entry, std::string_view key) {
    return entry.first < key;
}

// Whether a's key is not before b's, compared in place a word and then a byte at a time: the
// keys of a listing differ within a few bytes, where a call to compare costs more than the
// comparison.
bool notBefore(const Entry& a, const Entry& b) {
    const std::string &x = a.first, &y = b.first;
    const std::size_t length = std::min(x.size(), y.size());
    std::size_t at = 0;
    for (std::uint64_t u, v; at + 8 <= length; at += 8) {
        std::memcpy(&u, x.data() + at, 8);
        std::memcpy(&v, y.data() + at, 8);
        if (u != v)
            break;
    }
    for (; at < length; ++at)
        if (x[at] != y[at])
            return static_cast<unsigned char>(x[at]) > static_cast<unsigned char>(y[at]);
    return x.size() >= y.size();
}

} // namespace

PlistValue::PlistValue(std::string text) : storage_(std::move(text)) {}
PlistValue::PlistValue(std::string_view text) : storage_(std::in_place_type<std::string>, text) {}
PlistValue::PlistValue(const char* text) {
    if (text)
        storage_ = std::string(text);
}
PlistValue::PlistValue(double number) : storage_(number) {}
PlistValue::PlistValue(bool flag) : storage_(flag) {}
PlistValue::PlistValue(Integer number) : storage_(number) {
    // Only values above INT64_MAX carry the unsigned mark, so equal numbers compare equal.
    auto& stored = std::get<Integer>(storage_);
    stored.isUnsigned =
        stored.isUnsigned &&
        stored.bits > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
}
PlistValue::PlistValue(Date date) : storage_(date) {}
PlistValue::PlistValue(Data bytes) : storage_(std::move(bytes)) {}
PlistValue::PlistValue(Array elements) : storage_(std::move(elements)) {}
PlistValue::PlistValue(Dictionary entries) {
    // Keys already strictly ascending (as every writer of sorted keys gives them, and as the
    // readers pass them on) are kept as they are, without a copy.
    if (std::adjacent_find(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            return notBefore(a, b);
        }) != entries.end()) {
        // Stable sort, then keep the last of each run of equal keys: a later duplicate wins.
        std::stable_sort(entries.begin(), entries.end(),
                         [](const Entry& a, const Entry& b) { return a.first < b.first; });
        auto kept = entries.begin(); // one past the last entry kept
        for (auto it = entries.begin(); it != entries.end(); ++it) {
            if (kept != entries.begin() && std::prev(kept)->first == it->first) {
                std::prev(kept)->second = std::move(it->second);
            } else {
                if (kept != it)
                    *kept = std::move(*it);
                ++kept;
            }
        }
        entries.erase(kept, entries.end());
    }
    storage_ = std::move(entries);
}

PlistValue PlistValue::unsignedInteger(std::uint64_t number) {
    return PlistValue(Integer{number, true});
}

const PlistValue& PlistValue::objectForKey(std::string_view key) const {
    const auto* entries = dictionaryEntries();
    if (!entries)
        return absentValue();
    auto it = std::lower_bound(entries->begin(), entries->end(), key, keyLess);
    if (it == entries->end() || it->first != key)
        return absentValue();
    return it->second;
}

const PlistValue& PlistValue::objectAtIndex(std::size_t index) const {
    const auto* elements = arrayElements();
    if (!elements || index >= elements->size())
        return absentValue();
    return (*elements)[index];
}

std::size_t PlistValue::count() const {
    if (const auto* entries = dictionaryEntries())
        return entries->size();
    if (const auto* elements = arrayElements())
        return elements->size();
    return 0;
}

double PlistValue::doubleValue() const {
    switch (kind()) {
    case Kind::Integer: {
        const auto& number = std::get<Integer>(storage_);
        return number.isUnsigned ? static_cast<double>(number.bits)
                                 : static_cast<double>(static_cast<std::int64_t>(number.bits));
    }
    case Kind::Real:
        return std::get<double>(storage_);
    case Kind::Boolean:
        return std::get<bool>(storage_) ? 1.0 : 0.0;
    default:
        return 0.0;
    }
}

std::int64_t PlistValue::integerValue() const {
    switch (kind()) {
    case Kind::Integer: {
        const auto& number = std::get<Integer>(storage_);
        if (number.isUnsigned)
            return std::numeric_limits<std::int64_t>::max();
        return static_cast<std::int64_t>(number.bits);
    }
    case Kind::Real: {
        const double real = std::get<double>(storage_);
        if (std::isnan(real))
            return 0;
        if (real >= 9223372036854775808.0)
            return std::numeric_limits<std::int64_t>::max();
        if (real <= -9223372036854775808.0)
            return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(real);
    }
    case Kind::Boolean:
        return std::get<bool>(storage_) ? 1 : 0;
    default:
        return 0;
    }
}

bool PlistValue::boolValue() const {
    switch (kind()) {
    case Kind::Boolean:
        return std::get<bool>(storage_);
    case Kind::Integer:
        return std::get<Integer>(storage_).bits != 0;
    case Kind::Real:
        return std::get<double>(storage_) != 0.0;
    default:
        return false;
    }
}

std::optional<std::string_view> PlistValue::stringValue() const {
    if (const auto* text = std::get_if<std::string>(&storage_))
        return std::string_view(*text);
    return std::nullopt;
}

bool PlistValue::isEqualToString(std::optional<std::string_view> text) const {
    const auto mine = stringValue();
    return mine && text && *mine == *text;
}

bool PlistValue::hasPrefix(std::optional<std::string_view> text) const {
    const auto mine = stringValue();
    return mine && text && !text->empty() && mine->substr(0, text->size()) == *text;
}

bool PlistValue::hasSuffix(std::optional<std::string_view> text) const {
    const auto mine = stringValue();
    return mine && text && !text->empty() && mine->size() >= text->size() &&
           mine->substr(mine->size() - text->size()) == *text;
}

std::optional<double> PlistValue::real() const {
    if (const auto* number = std::get_if<double>(&storage_))
        return *number;
    return std::nullopt;
}

std::optional<bool> PlistValue::boolean() const {
    if (const auto* flag = std::get_if<bool>(&storage_))
        return *flag;
    return std::nullopt;
}

bool PlistValue::setValueForKey(std::string_view key, PlistValue value) {
    auto* entries = std::get_if<Dictionary>(&storage_);
    if (!entries)
        return false;
    auto it = std::lower_bound(entries->begin(), entries->end(), key, keyLess);
    const bool present = it != entries->end() && it->first == key;
    if (value.isAbsent()) {
        if (present)
            entries->erase(it);
    } else if (present) {
        it->second = std::move(value);
    } else {
        entries->emplace(it, std::string(key), std::move(value));
    }
    return true;
}

bool PlistValue::removeObjectForKey(std::string_view key) {
    return setValueForKey(key, PlistValue());
}

bool PlistValue::append(PlistValue value) {
    auto* elements = std::get_if<Array>(&storage_);
    if (!elements)
        return false;
    elements->push_back(std::move(value));
    return true;
}

PlistValue* PlistValue::mutableObjectForKey(std::string_view key) {
    auto* entries = std::get_if<Dictionary>(&storage_);
    if (!entries)
        return nullptr;
    auto it = std::lower_bound(entries->begin(), entries->end(), key, keyLess);
    if (it == entries->end() || it->first != key)
        return nullptr;
    return &it->second;
}

PlistValue* PlistValue::mutableObjectAtIndex(std::size_t index) {
    auto* elements = std::get_if<Array>(&storage_);
    if (!elements || index >= elements->size())
        return nullptr;
    return &(*elements)[index];
}

bool operator==(const PlistValue& a, const PlistValue& b) {
    if (a.kind() != b.kind())
        return false;
    if (a.kind() == PlistValue::Kind::Real) {
        // NaN equals NaN here: two parses of the same document compare equal.
        const double x = *a.real(), y = *b.real();
        return x == y || (std::isnan(x) && std::isnan(y));
    }
    return a.storage_ == b.storage_;
}
