#include "detection/linux/BrowserSessionFormats.h"

#include <lz4.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstring>

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

std::vector<std::string> firefoxOpenTabs(std::string_view text) {
    using nlohmann::json;
    json store;
    try {
        // Refuse deep nesting while parsing, before anything deep is built.
        store = json::parse(text.begin(), text.end(), [](int depth, json::parse_event_t, json&) {
            // The depth counts from 0 at the outermost value.
            if (depth >= maxJsonDepth)
                throw SessionFileUnreadable("the session file nests too deeply");
            return true;
        });
    } catch (const json::exception&) {
        throw SessionFileUnreadable("the session file is not valid JSON");
    }
    std::vector<std::string> urls;
    const auto windows = store.find("windows");
    if (windows == store.end() || !windows->is_array())
        return urls;
    for (const auto& window : *windows) {
        const auto tabs = window.find("tabs");
        if (!window.is_object() || tabs == window.end() || !tabs->is_array())
            continue;
        for (const auto& tab : *tabs) {
            if (!tab.is_object())
                continue;
            const auto entries = tab.find("entries");
            if (entries == tab.end() || !entries->is_array() || entries->empty())
                continue;
            // "index" counts from 1; without it the last entry is the one shown.
            std::size_t index = entries->size();
            if (auto i = tab.find("index"); i != tab.end() && i->is_number_integer()) {
                const auto value = i->get<std::int64_t>();
                if (value < 1 || static_cast<std::size_t>(value) > entries->size())
                    continue;
                index = static_cast<std::size_t>(value);
            }
            const auto& entry = (*entries)[index - 1];
            if (auto url = entry.find("url");
                entry.is_object() && url != entry.end() && url->is_string())
                urls.push_back(url->get<std::string>());
        }
    }
    return urls;
}

} // namespace tallyvox::BrowserSessionFormats
