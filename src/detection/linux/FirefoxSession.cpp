#include "detection/linux/BrowserSessionFormats.h"

#include <lz4.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>

namespace tallyvox::BrowserSessionFormats {

namespace {

constexpr std::string_view mozLz4Magic{"mozLz40\0", 8};

} // namespace

std::string mozLz4Decompress(std::string_view file) {
    if (file.size() > maxFileBytes)
        throw SessionFileUnreadable("the session file is too large");
    if (file.size() < mozLz4Magic.size() + 4 || file.substr(0, mozLz4Magic.size()) != mozLz4Magic)
        throw SessionFileUnreadable("not a mozLz4 file");
    std::uint32_t size = 0;
    std::memcpy(&size, file.data() + mozLz4Magic.size(), 4);
    // LZ4 expands at most about 255 times; a larger claim is a lie, and a huge one would make
    // us allocate for nothing.
    const auto block = file.substr(mozLz4Magic.size() + 4);
    if (size > 4 * maxFileBytes || size > block.size() * 255 + 16)
        throw SessionFileUnreadable("the session file claims an impossible size");
    std::string out(size, '\0');
    const int written = LZ4_decompress_safe(
        block.data(), out.data(), static_cast<int>(block.size()), static_cast<int>(out.size()));
    if (written < 0 || static_cast<std::uint32_t>(written) != size)
        throw SessionFileUnreadable("the session file is corrupt");
    return out;
}

namespace {

// Picks the current entry of each open tab out of the session store as it is parsed, holding
// only the containers still open and the addresses found: the store is walked once, in time
// and memory linear in its size, and nothing the tabs do not need is built. Where a key is
// given twice the last one counts, as it would in a parsed document.
class OpenTabsCollector {
public:
    using json = nlohmann::json;

    std::vector<std::string> urls;

    bool null() { return scalar(Scalar{}); }
    bool boolean(bool) { return scalar(Scalar{}); }
    bool number_integer(json::number_integer_t value) {
        return scalar(Scalar{.integer = std::int64_t{value}});
    }
    bool number_unsigned(json::number_unsigned_t value) {
        // Beyond any tab's entries anyway.
        return scalar(Scalar{.integer = static_cast<std::int64_t>(std::min<json::number_unsigned_t>(
                                 value, static_cast<json::number_unsigned_t>(
                                            std::numeric_limits<std::int64_t>::max())))});
    }
    bool number_float(json::number_float_t, const json::string_t&) { return scalar(Scalar{}); }
    bool string(json::string_t& value) {
        return scalar(Scalar{.integer = std::nullopt, .text = &value});
    }
    bool binary(json::binary_t&) { return scalar(Scalar{}); }

    bool start_object(std::size_t) { return open(true); }
    bool start_array(std::size_t) { return open(false); }
    bool key(json::string_t& name) {
        frames_.back().key = name;
        return true;
    }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
        return false;
    }

private:
    enum class Role { other, root, windows, window, tabs, tab, entries, entry };
    struct Scalar {
        std::optional<std::int64_t> integer;
        json::string_t* text = nullptr;
    };
    struct Frame {
        Role role = Role::other;
        std::string key;
        // A window: where its tabs' addresses start, so a repeated "tabs" replaces them.
        std::size_t firstUrl = 0;
        // A tab: the address of each entry (none when an entry has no address), whether its
        // "entries" is a list, and its "index" when that is an integer.
        std::vector<std::optional<std::string>> entries;
        bool hasEntries = false;
        std::optional<std::int64_t> index;
    };

    // The role of a value about to start, from where it stands; entries and settings of the
    // enclosing tab are reset here, so the last of a repeated key wins.
    Role roleOfNext(bool isObject, bool isArray) {
        if (frames_.empty())
            return isObject ? Role::root : Role::other;
        auto& parent = frames_.back();
        switch (parent.role) {
        case Role::root:
            if (parent.key != "windows")
                return Role::other;
            urls.clear();
            return isArray ? Role::windows : Role::other;
        case Role::windows:
            return isObject ? Role::window : Role::other;
        case Role::window:
            if (parent.key != "tabs")
                return Role::other;
            urls.resize(parent.firstUrl);
            return isArray ? Role::tabs : Role::other;
        case Role::tabs:
            return isObject ? Role::tab : Role::other;
        case Role::tab:
            if (parent.key == "entries") {
                parent.entries.clear();
                parent.hasEntries = isArray;
                return isArray ? Role::entries : Role::other;
            }
            if (parent.key == "index")
                parent.index.reset();
            return Role::other;
        case Role::entries: {
            auto& tab = frames_[frames_.size() - 2];
            tab.entries.emplace_back();
            return isObject ? Role::entry : Role::other;
        }
        case Role::entry:
            if (parent.key == "url")
                frames_[frames_.size() - 3].entries.back().reset();
            return Role::other;
        case Role::other:
            return Role::other;
        }
        return Role::other;
    }

    bool scalar(Scalar value) {
        roleOfNext(false, false);
        if (frames_.empty())
            return true;
        auto& parent = frames_.back();
        if (parent.role == Role::tab && parent.key == "index") {
            parent.index = value.integer;
        } else if (parent.role == Role::entry && parent.key == "url" && value.text) {
            frames_[frames_.size() - 3].entries.back() = *value.text;
        }
        return true;
    }

    bool open(bool isObject) {
        // The depth counts from 0 at the outermost value.
        if (frames_.size() >= static_cast<std::size_t>(maxJsonDepth))
            throw SessionFileUnreadable("the session file nests too deeply");
        Frame frame;
        frame.role = roleOfNext(isObject, !isObject);
        frame.firstUrl = urls.size();
        frames_.push_back(std::move(frame));
        return true;
    }

    bool close() {
        auto frame = std::move(frames_.back());
        frames_.pop_back();
        if (frame.role == Role::tab && frame.hasEntries && !frame.entries.empty()) {
            // "index" counts from 1; without it the last entry is the one shown.
            std::size_t index = frame.entries.size();
            if (frame.index) {
                if (*frame.index < 1 || static_cast<std::uint64_t>(*frame.index) > index)
                    return true;
                index = static_cast<std::size_t>(*frame.index);
            }
            if (auto& url = frame.entries[index - 1])
                urls.push_back(std::move(*url));
        }
        return true;
    }

    std::vector<Frame> frames_;
};

} // namespace

std::vector<std::string> firefoxOpenTabs(std::string_view text) {
    OpenTabsCollector collector;
    bool parsed = false;
    try {
        parsed = nlohmann::json::sax_parse(text.begin(), text.end(), &collector);
    } catch (const nlohmann::json::exception&) {
        parsed = false;
    }
    if (!parsed)
        throw SessionFileUnreadable("the session file is not valid JSON");
    return std::move(collector.urls);
}

} // namespace tallyvox::BrowserSessionFormats
