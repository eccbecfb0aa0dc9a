#include "settings/PlistValue.h"

#include "settings/PlistScan.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>

namespace tallyvox {

namespace {

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr std::int64_t appleEpochOffset = 978307200;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

plist_t toNode(const PlistValue& value) {
    switch (value.type()) {
    case PlistValue::Type::boolean:
        return plist_new_bool(*value.boolValue() ? 1 : 0);
    case PlistValue::Type::integer:
        // libplist keeps integers unsigned and writes them back signed.
        return plist_new_uint(static_cast<std::uint64_t>(*value.integerValue()));
    case PlistValue::Type::real:
        return plist_new_real(*value.realValue());
    case PlistValue::Type::string:
        return plist_new_string(value.stringValue()->c_str());
    case PlistValue::Type::date: {
        auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          value.dateValue()->time_since_epoch())
                          .count() -
                      appleEpochOffset * 1000000;
        std::int64_t seconds = micros / 1000000;
        std::int64_t rest = micros % 1000000;
        if (rest < 0) {
            seconds -= 1;
            rest += 1000000;
        }
        seconds = std::clamp<std::int64_t>(seconds, std::numeric_limits<std::int32_t>::min(),
                                           std::numeric_limits<std::int32_t>::max());
        return plist_new_date(static_cast<std::int32_t>(seconds), static_cast<std::int32_t>(rest));
    }
    case PlistValue::Type::array: {
        plist_t array = plist_new_array();
        for (const auto& item : *value.arrayValue())
            plist_array_append_item(array, toNode(item));
        return array;
    }
    case PlistValue::Type::dictionary: {
        plist_t dict = plist_new_dict();
        for (const auto& [key, item] : *value.dictionaryValue())
            plist_dict_set_item(dict, key.c_str(), toNode(item));
        return dict;
    }
    }
    return plist_new_bool(0);
}

std::optional<PlistValue> fromNode(plist_t node, int depth) {
    if (!node || depth > PlistScan::maxDepth)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PlistValue(value != 0);
    }
    case PLIST_UINT: {
        std::uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return PlistValue(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return PlistValue(value);
    }
    case PLIST_STRING: {
        std::uint64_t length = 0;
        const char* text = plist_get_string_ptr(node, &length);
        return PlistValue(text ? std::string(text, length) : std::string());
    }
    case PLIST_DATE: {
        std::int32_t seconds = 0;
        std::int32_t micros = 0;
        plist_get_date_val(node, &seconds, &micros);
        auto sinceUnix = std::chrono::seconds(std::int64_t{seconds} + appleEpochOffset) +
                         std::chrono::microseconds(micros);
        return PlistValue(SystemTime(std::chrono::duration_cast<SystemTime::duration>(sinceUnix)));
    }
    case PLIST_ARRAY: {
        PlistValue::Array array;
        plist_array_iter iter = nullptr;
        plist_array_new_iter(node, &iter);
        for (plist_t item = nullptr;;) {
            item = nullptr;
            plist_array_next_item(node, iter, &item);
            if (!item)
                break;
            // Types this app never writes (data, UIDs) are left out rather than failing all.
            if (auto value = fromNode(item, depth + 1))
                array.push_back(std::move(*value));
        }
        std::free(iter);
        return PlistValue(std::move(array));
    }
    case PLIST_DICT: {
        PlistValue::Dictionary dict;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char* key = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, iter, &key, &item);
            if (!item) {
                std::free(key);
                break;
            }
            if (key)
                if (auto value = fromNode(item, depth + 1))
                    dict.insert_or_assign(key, std::move(*value));
            std::free(key);
        }
        std::free(iter);
        return PlistValue(std::move(dict));
    }
    default:
        return std::nullopt;
    }
}

} // namespace

std::optional<bool> PlistValue::boolValue() const {
    if (auto v = std::get_if<bool>(&value_))
        return *v;
    return std::nullopt;
}

std::optional<std::int64_t> PlistValue::integerValue() const {
    if (auto v = std::get_if<std::int64_t>(&value_))
        return *v;
    return std::nullopt;
}

std::optional<double> PlistValue::realValue() const {
    if (auto v = std::get_if<double>(&value_))
        return *v;
    return std::nullopt;
}

std::optional<std::string> PlistValue::stringValue() const {
    if (auto v = std::get_if<std::string>(&value_))
        return *v;
    return std::nullopt;
}

std::optional<SystemTime> PlistValue::dateValue() const {
    if (auto v = std::get_if<SystemTime>(&value_))
        return *v;
    return std::nullopt;
}

std::string PlistValue::toXml() const {
    PlistPtr root(toNode(*this));
    char* xml = nullptr;
    std::uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    std::string text = xml ? std::string(xml, length) : std::string();
    plist_to_xml_free(xml);
    return text;
}

std::optional<PlistValue> PlistValue::fromXml(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > maxPlistBytes || !PlistScan::xmlWithinLimits(bytes))
        return std::nullopt;
    std::string copy(bytes); // the parser gets a terminated buffer of its own
    plist_t parsed = nullptr;
    plist_from_xml(copy.c_str(), static_cast<std::uint32_t>(copy.size()), &parsed);
    PlistPtr root(parsed);
    if (!root)
        return std::nullopt;
    return fromNode(root.get(), 0);
}

std::optional<PlistValue> PlistValue::fromFileBytes(std::string_view bytes) {
    if (!bytes.starts_with("bplist"))
        return fromXml(bytes);
    if (bytes.size() > maxPlistBytes || !PlistScan::binaryWithinLimits(bytes))
        return std::nullopt;
    plist_t parsed = nullptr;
    plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &parsed);
    PlistPtr root(parsed);
    if (!root)
        return std::nullopt;
    return fromNode(root.get(), 0);
}

} // namespace tallyvox
