#include "audio/MuteLabel.h"

#include <array>
#include <string>

namespace tallyvox {

namespace {

std::string lowered(std::string_view text) {
    std::string out(text);
    for (auto& c : out) {
        // Bytes of other scripts stay as they are; the words looked for are ASCII.
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool contains(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view space = " \t\r\n\v\f";
    auto first = text.find_first_not_of(space);
    if (first == std::string_view::npos)
        return {};
    auto last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

// The label up to its first bracket or comma: "Mute (Ctrl+Alt+A)" names the button "mute".
std::string_view head(std::string_view label) {
    size_t start = 0;
    while (start <= label.size()) {
        auto end = label.find_first_of("(,", start);
        if (end == std::string_view::npos)
            end = label.size();
        if (end > start)
            return trimmed(label.substr(start, end - start));
        start = end + 1;
    }
    return trimmed(label);
}

constexpr std::array<std::string_view, 7> otherMutes = {
    "participant", "everyone", "all", "notification", "chat", "speaker", "video"};

} // namespace

namespace MuteLabel {

bool isLabel(std::string_view text) {
    auto l = lowered(text);
    return contains(l, "mute") || l == "mic" || startsWith(l, "mic ") ||
           startsWith(l, "microphone") || startsWith(l, "turn off mic") ||
           startsWith(l, "turn on mic");
}

std::optional<bool> muted(std::string_view label, std::optional<long> value) {
    auto l = lowered(label);
    if (startsWith(l, "turn off mic"))
        return false;
    if (startsWith(l, "turn on mic"))
        return true;
    auto name = head(l);
    if (name == "mic" || name == "microphone") {
        if (!value)
            return std::nullopt;
        return *value == 0;
    }
    if (!contains(l, "mute"))
        return std::nullopt;
    for (auto word : otherMutes) {
        if (contains(l, word))
            return std::nullopt;
    }
    if (!contains(l, "mic") && !contains(l, "audio") && name != "mute" && name != "unmute")
        return std::nullopt;
    if (contains(l, "unmuted"))
        return false;
    if (contains(l, "muted"))
        return true;
    // The button offers what it would do: "Unmute" is shown while muted.
    return contains(l, "unmute");
}

} // namespace MuteLabel

namespace MuteScope {

std::optional<bool> trusted(bool parent, bool isWebArea, std::optional<Platform> urlPlatform,
                            std::optional<Platform> page) {
    if (!page || parent)
        return true;
    if (!isWebArea)
        return false;
    if (urlPlatform && *urlPlatform == *page)
        return true;
    return std::nullopt;
}

} // namespace MuteScope

bool MuteTracker::update(std::optional<bool> reading) {
    if (!reading) {
        ++misses;
        if (misses < patience)
            return false;
        if (state) {
            if (holdsLast)
                return false;
            state.reset();
        } else if (answered) {
            return false;
        }
        answered = true;
        return true;
    }
    misses = 0;
    if (state == reading && answered)
        return false;
    state = reading;
    answered = true;
    return true;
}

} // namespace tallyvox
