#pragma once

#include <VivoziZevidodirid/Export.h>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

// A property-list value: dictionary, array, string, integer, real, boolean, data, date, or absent.
//
// A value type: copies are independent, so a parsed tree handed to a caller can never be changed
// behind its back, and a copy can be changed freely. Reading through an absent or wrong-kind
// value never throws: it yields an absent value, 0, 0.0 or false.
class VZ_EXPORT PlistValue {
public:
    enum class Kind : std::uint8_t {
        Absent,
        Dictionary,
        Array,
        String,
        Integer,
        Real,
        Boolean,
        Data,
        Date,
    };

    // Keys stay sorted and unique, so lookups are binary searches and the XML form is stable.
    using Dictionary = std::vector<std::pair<std::string, PlistValue>>;
    using Array = std::vector<PlistValue>;
    using Data = std::vector<std::uint8_t>;

    // An integer as the property-list formats hold it: signed 64-bit, or unsigned above INT64_MAX.
    struct Integer {
        std::uint64_t bits = 0;
        bool isUnsigned = false; // set only for values above INT64_MAX
        friend bool operator==(const Integer&, const Integer&) = default;
    };

    // Seconds since 2001-01-01T00:00:00Z, the property-list epoch.
    struct Date {
        double secondsSinceReferenceDate = 0.0;
        friend bool operator==(const Date&, const Date&) = default;
    };

    PlistValue() = default; // absent
    PlistValue(std::string text);
    PlistValue(std::string_view text);
    PlistValue(const char* text); // a null pointer makes an absent value
    // Every integer type but bool, at its exact value: an unsigned one above INT64_MAX becomes
    // an unsigned integer (as unsignedInteger makes it), never a negative one.
    template <std::integral Number>
    requires(!std::same_as<Number, bool>) PlistValue(Number number)
        : PlistValue(Integer{static_cast<std::uint64_t>(number), std::is_unsigned_v<Number>}) {}
    PlistValue(double number);
    PlistValue(bool flag); // exact: a pointer or a number never becomes a boolean
    PlistValue(Integer number);
    PlistValue(Date date);
    PlistValue(Data bytes);
    PlistValue(Array elements);
    PlistValue(Dictionary entries); // sorted; a later duplicate key replaces an earlier one

    static PlistValue dictionary() { return PlistValue(Dictionary{}); }
    static PlistValue array() { return PlistValue(Array{}); }
    static PlistValue unsignedInteger(std::uint64_t number);

    Kind kind() const { return static_cast<Kind>(storage_.index()); }
    bool isAbsent() const { return kind() == Kind::Absent; }
    bool isDictionary() const { return kind() == Kind::Dictionary; }
    bool isArray() const { return kind() == Kind::Array; }
    bool isString() const { return kind() == Kind::String; }
    bool isNumber() const { return kind() == Kind::Integer || kind() == Kind::Real; }

    // --- Reading (never throws) ---

    // The value under key of a dictionary; absent for a missing key or any other kind.
    const PlistValue& objectForKey(std::string_view key) const;
    const PlistValue& operator[](std::string_view key) const { return objectForKey(key); }
    // The element at index of an array; absent past the end or for any other kind.
    const PlistValue& objectAtIndex(std::size_t index) const;
    const PlistValue& operator[](std::size_t index) const { return objectAtIndex(index); }
    // Entries of a dictionary or elements of an array; 0 for anything else.
    std::size_t count() const;

    // A number (integer, real or boolean) as a double; 0.0 for anything else.
    double doubleValue() const;
    // A number as a signed 64-bit integer (reals truncate toward zero and saturate); 0 otherwise.
    std::int64_t integerValue() const;
    // A boolean, or a number that is non-zero; false otherwise.
    bool boolValue() const;

    // The text of a string; nullopt for any other kind. Valid while this value lives unchanged.
    std::optional<std::string_view> stringValue() const;
    // Exact, case-sensitive tests; false when this value is not a string or the argument absent.
    // The prefix and suffix tests are false for an empty argument.
    bool isEqualToString(std::optional<std::string_view> text) const;
    bool hasPrefix(std::optional<std::string_view> text) const;
    bool hasSuffix(std::optional<std::string_view> text) const;

    // Typed access; nullptr when the kind differs.
    const Dictionary* dictionaryEntries() const { return std::get_if<Dictionary>(&storage_); }
    const Array* arrayElements() const { return std::get_if<Array>(&storage_); }
    const Integer* integer() const { return std::get_if<Integer>(&storage_); }
    const Data* data() const { return std::get_if<Data>(&storage_); }
    const Date* date() const { return std::get_if<Date>(&storage_); }
    std::optional<double> real() const;
    std::optional<bool> boolean() const;

    // --- Changing ---

    // Sets key to value in a dictionary (an absent value removes the key). On anything but a
    // dictionary it does nothing and returns false.
    bool setValueForKey(std::string_view key, PlistValue value);
    bool removeObjectForKey(std::string_view key);
    // Appends to an array; false (and nothing done) on anything else.
    bool append(PlistValue value);
    // Mutable access into containers; nullptr when the key/index is missing or the kind differs.
    // The pointer lives in this container's storage: it is valid until the container is next
    // changed other than through such a pointer (a key set or removed, an element appended, an
    // assignment to it) or is moved from or destroyed, and the same holds for every container
    // above it.
    PlistValue* mutableObjectForKey(std::string_view key);
    PlistValue* mutableObjectAtIndex(std::size_t index);
    std::string* mutableString() { return std::get_if<std::string>(&storage_); }
    Data* mutableData() { return std::get_if<Data>(&storage_); }

    // --- Serialisation ---

    // Parses an XML or binary ("bplist00") property list. Malformed input, empty input, or
    // nesting deeper than kMaxDepth gives an absent value.
    static PlistValue parse(std::string_view bytes);
    // The XML property-list document of this value; "" for an absent value.
    std::string xml() const;
    // A short human-readable form, as a log line would show it (old-style text property list).
    std::string description() const;

    static constexpr std::size_t kMaxDepth = 512;

    friend VZ_EXPORT bool operator==(const PlistValue& a, const PlistValue& b);

private:
    using Storage = std::variant<std::monostate, Dictionary, Array, std::string, Integer, double,
                                 bool, Data, Date>;
    // kind() is the variant's index: each Kind names the alternative at its position.
    template <Kind kind, class T>
    static constexpr bool holdsAt =
        std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(kind), Storage>, T>;
    static_assert(holdsAt<Kind::Absent, std::monostate> && holdsAt<Kind::Dictionary, Dictionary> &&
                  holdsAt<Kind::Array, Array> && holdsAt<Kind::String, std::string> &&
                  holdsAt<Kind::Integer, Integer> && holdsAt<Kind::Real, double> &&
                  holdsAt<Kind::Boolean, bool> && holdsAt<Kind::Data, Data> &&
                  holdsAt<Kind::Date, Date> &&
                  std::variant_size_v<Storage> == static_cast<std::size_t>(Kind::Date) + 1);

    Storage storage_;
};
