#include "settings/PlistValue.h"

#include <plist/plist.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>

namespace tallyvox {

namespace {

// Property-list dates count from 2001-01-01 00:00:00 UTC.
constexpr std::int64_t appleEpochOffset = 978307200;
// libplist walks nested containers recursively, so a hostile file could otherwise exhaust
// the stack.
constexpr int maxDepth = 256;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Reads the markup the way libplist's XML parser does, only far enough to know how deeply
// <array> and <dict> nest, so that libplist (which builds and frees the tree recursively) is
// never handed a document that would exhaust the stack. Every step that parser would take
// differently, or refuse, is refused here too: a document that passes holds exactly the
// nesting counted, whatever comments, CDATA sections, processing instructions, a DOCTYPE or
// quoted attribute values hide. Linear in the size of the text.
class NestingScan {
public:
    explicit NestingScan(std::string_view xml)
        : xml_(xml) {}

    bool withinLimit() {
        for (;;) {
            skipSpace();
            // libplist stops reading once the root value is complete.
            if (at_ >= xml_.size() || rootComplete_)
                return true;
            if (xml_[at_] != '<' || !markup())
                return false;
        }
    }

private:
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    void skipSpace() {
        while (at_ < xml_.size() && isSpace(xml_[at_]))
            ++at_;
    }

    bool startsHere(std::string_view text) const { return xml_.substr(at_).starts_with(text); }

    // Moves past the next `marker`; false when there is none.
    bool skipPast(std::string_view marker) {
        size_t found = xml_.find(marker, at_);
        if (found == std::string_view::npos)
            return false;
        at_ = found + marker.size();
        return true;
    }

    // Moves to the first of `stops` outside double quotes; false at the end of the text.
    bool findOutsideQuotes(std::string_view stops) {
        while (at_ < xml_.size()) {
            if (xml_[at_] == '"') {
                size_t close = xml_.find('"', at_ + 1);
                if (close == std::string_view::npos)
                    return false;
                at_ = close + 1;
                continue;
            }
            if (stops.find(xml_[at_]) != std::string_view::npos)
                return true;
            ++at_;
        }
        return false;
    }

    // One construct that starts with '<' where an element may stand.
    bool markup() {
        if (startsHere("<?")) {
            ++at_;
            if (!findOutsideQuotesOf("?>"))
                return false;
            at_ += 2;
            return true;
        }
        if (startsHere("<!--")) {
            at_ += 4;
            return skipPast("-->");
        }
        if (startsHere("<!DOCTYPE"))
            return doctype();
        if (startsHere("<!"))
            return false;
        return element();
    }

    // Like findOutsideQuotes, for a two-character marker.
    bool findOutsideQuotesOf(std::string_view marker) {
        while (at_ < xml_.size()) {
            if (startsHere(marker))
                return true;
            if (xml_[at_] == '"') {
                size_t close = xml_.find('"', at_ + 1);
                if (close == std::string_view::npos)
                    return false;
                at_ = close;
            }
            ++at_;
        }
        return false;
    }

    bool doctype() {
        at_ += 9;
        if (!findOutsideQuotes("[>"))
            return false;
        if (xml_[at_] == '>') {
            ++at_;
            return true;
        }
        if (!findOutsideQuotesOf("]>"))
            return false;
        at_ += 2;
        return true;
    }

    bool element() {
        size_t nameStart = ++at_;
        while (at_ < xml_.size() && !isSpace(xml_[at_]) && xml_[at_] != '<' && xml_[at_] != '>')
            ++at_;
        size_t nameEnd = at_;
        if (at_ < xml_.size() && xml_[at_] != '>' && !findOutsideQuotes("<>"))
            return false;
        if (at_ >= xml_.size() || xml_[at_] != '>')
            return false;
        bool empty = xml_[at_ - 1] == '/';
        if (empty)
            nameEnd = std::min(nameEnd, at_ - 1);
        std::string_view name = xml_.substr(nameStart, nameEnd - nameStart);
        ++at_;

        if (name == "plist" || name == "/plist")
            return true;
        if (name == "array" || name == "dict") {
            // An empty root is not complete: libplist goes on adding what follows to it.
            if (depth_ == 0 && empty)
                emptyRoot_ = true;
            return empty || ++depth_ <= maxDepth;
        }
        if (name == "/array" || name == "/dict") {
            rootComplete_ = depth_ == 1 && !emptyRoot_;
            return --depth_ >= 0;
        }
        static constexpr std::string_view leaves[] = {"key",  "string", "integer", "real",
                                                      "date", "data",   "true",    "false"};
        if (std::find(std::begin(leaves), std::end(leaves), name) == std::end(leaves))
            return false;
        rootComplete_ = depth_ == 0 && !emptyRoot_;
        return empty || text(name);
    }

    // The content of a leaf element and its closing tag. Comments and CDATA sections are part
    // of the text; no other markup may appear in it.
    bool text(std::string_view name) {
        for (;;) {
            size_t open = xml_.find('<', at_);
            if (open == std::string_view::npos)
                return false;
            at_ = open;
            if (startsHere("<!--")) {
                at_ += 4;
                if (!skipPast("-->"))
                    return false;
            } else if (startsHere("<![CDATA[")) {
                at_ += 9;
                if (!skipPast("]]>"))
                    return false;
            } else if (startsHere("</")) {
                at_ += 2;
                if (!startsHere(name))
                    return false;
                at_ += name.size();
                skipSpace();
                if (at_ >= xml_.size() || xml_[at_] != '>')
                    return false;
                ++at_;
                return true;
            } else {
                return false;
            }
        }
    }

    std::string_view xml_;
    size_t at_ = 0;
    int depth_ = 0;
    bool emptyRoot_ = false;
    bool rootComplete_ = false;
};

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
    if (!node || depth > maxDepth)
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
    if (bytes.empty() || bytes.size() > maxPlistBytes || !NestingScan(bytes).withinLimit())
        return std::nullopt;
    std::string copy(bytes); // the parser gets a terminated buffer of its own
    plist_t parsed = nullptr;
    plist_from_xml(copy.c_str(), static_cast<std::uint32_t>(copy.size()), &parsed);
    PlistPtr root(parsed);
    if (!root)
        return std::nullopt;
    return fromNode(root.get(), 0);
}

} // namespace tallyvox
