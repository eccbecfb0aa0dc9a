#pragma once

#include "types/DetectedMeeting.h"

#include <optional>
#include <string_view>

namespace tallyvox {

// What the texts of a meeting app's controls say about its microphone.
namespace MuteLabel {

// Whether a control's text may belong to a microphone mute control (as written by the app).
bool isLabel(std::string_view text);

// True: the microphone is muted; false: it is on; nothing: the text says neither, or the
// control is some other mute (everyone's, notifications, video…). `value` is the control's
// numeric value, used only for a toggle named after the microphone (0 off, so muted).
std::optional<bool> muted(std::string_view label, std::optional<long> value);

} // namespace MuteLabel

// Which parts of a browser may hold the meeting's own mute button.
namespace MuteScope {

// For an element reached from a `parent` already trusted or not: true when its controls
// may be read; false when not, though its children may still be (browser chrome around the
// pages); nothing when neither it nor anything under it may (a page of another platform or
// no meeting at all). `urlPlatform` is the platform of the page's address, for a web area.
std::optional<bool> trusted(bool parent, bool isWebArea, std::optional<Platform> urlPlatform,
                            std::optional<Platform> page);

} // namespace MuteScope

// Debounces readings of the mute button into the states worth reporting.
struct MuteTracker {
    static constexpr int patience = 5;

    int misses = 0;
    bool answered = false;
    std::optional<bool> state;
    // Losing the button keeps the last known state (a browser tab rebuilt while scrolling).
    bool holdsLast = false;

    explicit MuteTracker(bool holdsLast = false)
        : holdsLast(holdsLast) {}

    // Takes one reading (nothing: no answer); true when `state` is to be reported now.
    bool update(std::optional<bool> reading);
};

} // namespace tallyvox
