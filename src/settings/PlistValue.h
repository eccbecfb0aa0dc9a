#pragma once

#include "base/Clock.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tallyvox {

// Our property lists are small; a file larger than this is not one of them and is not read.
inline constexpr std::uint64_t maxPlistBytes = std::uint64_t{16} * 1024 * 1024;

// One property-list value: what the preferences file and the protected settings file hold.
class PlistValue {
public:
    using Array = std::vector<PlistValue>;
    using Dictionary = std::map<std::string, PlistValue, std::less<>>;
    enum class Type { boolean, integer, real, string, date, array, dictionary };

    PlistValue()
        : value_(false) {}
    PlistValue(bool value)
        : value_(value) {}
    PlistValue(int value)
        : value_(std::int64_t{value}) {}
    PlistValue(std::int64_t value)
        : value_(value) {}
    PlistValue(double value)
        : value_(value) {}
    PlistValue(const char* value)
        : value_(std::string(value)) {}
    PlistValue(std::string value)
        : value_(std::move(value)) {}
    PlistValue(std::string_view value)
        : value_(std::string(value)) {}
    PlistValue(SystemTime value)
        : value_(value) {}
    PlistValue(Array value)
        : value_(std::move(value)) {}
    PlistValue(Dictionary value)
        : value_(std::move(value)) {}

    Type type() const { return static_cast<Type>(value_.index()); }

    // Each answers only for its own type; no conversions.
    std::optional<bool> boolValue() const;
    std::optional<std::int64_t> integerValue() const;
    std::optional<double> realValue() const;
    std::optional<std::string> stringValue() const;
    std::optional<SystemTime> dateValue() const;
    const Array* arrayValue() const { return std::get_if<Array>(&value_); }
    const Dictionary* dictionaryValue() const { return std::get_if<Dictionary>(&value_); }

    // An XML property list (version 1.0) with this value as its root. Dates keep whole seconds.
    std::string toXml() const;
    // Nothing for anything that is not a complete XML property list of the supported types.
    static std::optional<PlistValue> fromXml(std::string_view bytes);
    // The same for a file that may also be a binary property list ("bplist00"), as other
    // tools write them; one nested deeper than an XML one may be, or whose shared entries
    // would unfold past maxPlistBytes, gives nothing too.
    static std::optional<PlistValue> fromFileBytes(std::string_view bytes);

    bool operator==(const PlistValue& other) const { return value_ == other.value_; }

private:
    std::variant<bool, std::int64_t, double, std::string, SystemTime, Array, Dictionary> value_;
};

} // namespace tallyvox
