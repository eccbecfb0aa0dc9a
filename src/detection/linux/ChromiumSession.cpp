#include "detection/linux/BrowserSessionFormats.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <set>

namespace tallyvox::BrowserSessionFormats {

namespace {

// Command ids of the session service's stream.
enum Command : std::uint8_t {
    setTabWindow = 0,
    tabNavigationPathPrunedFromBack = 5,
    updateTabNavigation = 6,
    setSelectedNavigationIndex = 7,
    tabNavigationPathPrunedFromFront = 11,
    tabClosed = 16,
    windowClosed = 17,
    tabNavigationPathPruned = 24,
};

// Version 1 and 3 (3 adds marker commands) are plain; 2 and 4 are their encrypted forms.
bool isPlainVersion(std::int32_t version) {
    return version == 1 || version == 3;
}
bool isEncryptedVersion(std::int32_t version) {
    return version == 2 || version == 4;
}

// Little-endian reads that never run past the end: a short payload answers nothing.
class Reader {
public:
    explicit Reader(std::string_view bytes)
        : bytes_(bytes) {}

    template <class T> std::optional<T> read() {
        if (bytes_.size() - at_ < sizeof(T))
            return std::nullopt;
        T value;
        std::memcpy(&value, bytes_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return value;
    }
    // A pickled string: 32-bit length, the bytes, padding to 4.
    std::optional<std::string> string() {
        auto length = read<std::int32_t>();
        if (!length || *length < 0 || static_cast<std::size_t>(*length) > bytes_.size() - at_)
            return std::nullopt;
        std::string value(bytes_.substr(at_, static_cast<std::size_t>(*length)));
        at_ += (static_cast<std::size_t>(*length) + 3) & ~std::size_t{3};
        at_ = std::min(at_, bytes_.size());
        return value;
    }
    std::size_t remaining() const { return bytes_.size() - at_; }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
};

struct Tab {
    std::map<std::int32_t, std::string> entries; // by navigation index
    std::optional<std::int32_t> selected;
    std::optional<std::int32_t> window;
    bool closed = false;
};

// Index arithmetic is done wide: a hostile count must not overflow into a valid index.
std::int32_t clampIndex(std::int64_t index) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        index, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// Entries from `from` on move down by `by`, keeping their strings where they are. Keys only
// decrease and stay in order, so each goes back at the end.
void moveDown(std::map<std::int32_t, std::string>& entries, std::int32_t from, std::int64_t by) {
    std::map<std::int32_t, std::string> moved;
    for (auto it = entries.lower_bound(from); it != entries.end();) {
        auto node = entries.extract(it++);
        node.key() = clampIndex(node.key() - by);
        moved.insert(moved.end(), std::move(node));
    }
    entries.merge(moved);
}

void addEntry(Tab& tab, std::int32_t index, std::string url) {
    tab.entries.insert_or_assign(index, std::move(url));
    // The browser keeps no more than this, dropping the oldest: a file claiming more is
    // trimmed the same way, so no tab grows without bound.
    if (tab.entries.size() > maxEntriesPerTab)
        tab.entries.erase(tab.entries.begin());
}

void replay(std::uint8_t id, std::string_view payload, std::map<std::int32_t, Tab>& tabs,
            std::set<std::int32_t>& closedWindows) {
    Reader in(payload);
    switch (id) {
    case updateTabNavigation: {
        // A pickle: its payload size first, then tab, index, address, and more we ignore.
        auto size = in.read<std::uint32_t>();
        auto tab = in.read<std::int32_t>();
        auto index = in.read<std::int32_t>();
        auto url = in.string();
        if (size && tab && index && url && *index >= 0)
            addEntry(tabs[*tab], *index, std::move(*url));
        return;
    }
    case setSelectedNavigationIndex: {
        auto tab = in.read<std::int32_t>();
        auto index = in.read<std::int32_t>();
        if (tab && index)
            tabs[*tab].selected = *index;
        return;
    }
    case setTabWindow: {
        auto window = in.read<std::int32_t>();
        auto tab = in.read<std::int32_t>();
        if (window && tab)
            tabs[*tab].window = *window;
        return;
    }
    case tabClosed: {
        if (auto tab = in.read<std::int32_t>())
            tabs[*tab].closed = true;
        return;
    }
    case windowClosed: {
        if (auto window = in.read<std::int32_t>())
            closedWindows.insert(*window);
        return;
    }
    case tabNavigationPathPrunedFromBack: {
        // Entries from `index` on are gone.
        auto tab = in.read<std::int32_t>();
        auto index = in.read<std::int32_t>();
        if (tab && index) {
            auto& entries = tabs[*tab].entries;
            entries.erase(entries.lower_bound(*index), entries.end());
        }
        return;
    }
    case tabNavigationPathPrunedFromFront: {
        // The first `count` entries are gone; the rest move down.
        auto tab = in.read<std::int32_t>();
        auto count = in.read<std::int32_t>();
        if (tab && count && *count > 0) {
            auto& pruned = tabs[*tab];
            pruned.entries.erase(pruned.entries.begin(), pruned.entries.lower_bound(*count));
            moveDown(pruned.entries, *count, *count);
            if (auto& selected = pruned.selected)
                *selected = clampIndex(std::max<std::int64_t>(0, std::int64_t{*selected} - *count));
        }
        return;
    }
    case tabNavigationPathPruned: {
        // `count` entries from `index` are gone; later ones move down, and so does the
        // selection. A selected entry that went leaves the one before it selected.
        auto tab = in.read<std::int32_t>();
        auto index = in.read<std::int32_t>();
        auto count = in.read<std::int32_t>();
        if (tab && index && count && *index >= 0 && *count > 0) {
            auto& pruned = tabs[*tab];
            const std::int64_t end = std::int64_t{*index} + *count;
            const bool toTheEnd = end > std::numeric_limits<std::int32_t>::max();
            pruned.entries.erase(pruned.entries.lower_bound(*index),
                                 toTheEnd ? pruned.entries.end()
                                          : pruned.entries.lower_bound(clampIndex(end)));
            if (!toTheEnd)
                moveDown(pruned.entries, static_cast<std::int32_t>(end), *count);
            if (auto& selected = pruned.selected; selected && *selected >= *index)
                *selected =
                    *selected >= end ? clampIndex(*selected - std::int64_t{*count}) : *index - 1;
        }
        return;
    }
    default:
        return;
    }
}

} // namespace

std::vector<std::string> chromiumOpenTabs(std::string_view file) {
    if (file.size() > maxFileBytes)
        throw SessionFileUnreadable("the session file is too large");
    Reader header(file);
    char magic[4] = {};
    if (file.size() < 8 || (std::memcpy(magic, file.data(), 4), std::memcmp(magic, "SNSS", 4) != 0))
        throw SessionFileUnreadable("not a session file");
    header.read<std::uint32_t>();
    const auto version = header.read<std::int32_t>().value_or(0);
    if (isEncryptedVersion(version))
        throw SessionFileUnreadable("the session file is encrypted");
    if (!isPlainVersion(version))
        throw SessionFileUnreadable("unknown session file version " + std::to_string(version));

    std::map<std::int32_t, Tab> tabs;
    std::set<std::int32_t> closedWindows;
    std::size_t at = 8;
    // A command cut short at the end is one the browser was still writing: the stream
    // before it stands.
    while (file.size() - at >= 2) {
        std::uint16_t size = 0;
        std::memcpy(&size, file.data() + at, 2);
        at += 2;
        if (size == 0 || size > file.size() - at)
            break;
        replay(static_cast<std::uint8_t>(file[at]), file.substr(at + 1, size - 1u), tabs,
               closedWindows);
        at += size;
    }

    std::vector<std::string> urls;
    for (const auto& [id, tab] : tabs) {
        if (tab.closed || (tab.window && closedWindows.count(*tab.window)) || tab.entries.empty())
            continue;
        auto entry = tab.selected ? tab.entries.find(*tab.selected) : tab.entries.end();
        // Without a selected entry (or a pruned one) the newest entry is what it shows.
        urls.push_back(entry != tab.entries.end() ? entry->second : tab.entries.rbegin()->second);
    }
    return urls;
}

} // namespace tallyvox::BrowserSessionFormats
