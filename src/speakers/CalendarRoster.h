#pragma once

#include "base/Clock.h"
#include "types/DetectedMeeting.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The meeting's title and invitees from the user's calendar: the first event around now
// whose link, location or notes point at the detected platform's meetings. Which calendar
// is asked comes in as a `Store`, so the rules run the same under tests as on the desktop.
namespace tallyvox::CalendarRoster {

// How far the store is asked around now: a meeting that began up to an hour ago, or that
// starts within the next quarter hour, is the one running.
inline constexpr double lookBehindSeconds = 3600.0;
inline constexpr double lookAheadSeconds = 900.0;

// One event as a calendar lists it (an occurrence, for a repeating event).
struct Event {
    std::optional<std::string> title;
    SystemTime start;
    SystemTime end;
    bool allDay = false;
    std::optional<std::string> url;
    std::optional<std::string> location;
    std::optional<std::string> notes;
    // Attendees in the invitation's order; empty for one without a name.
    std::vector<std::string> attendees;
};

struct Meeting {
    std::optional<std::string> title;
    std::vector<std::string> names;
};

// What a store answers for a time range: its events in its own order, or nothing when the
// calendar cannot be read (no access, no service).
using Store = std::function<std::optional<std::vector<Event>>(SystemTime from, SystemTime to)>;

// The lower-case piece of the platform's meeting-link host that an event must mention.
std::string_view marker(Platform platform);

// The range the store is asked for.
struct Range {
    SystemTime from;
    SystemTime to;
};
Range range(SystemTime now);

// Whether one event is this platform's meeting, starting or running at `now`.
bool isMeeting(const Event& event, Platform platform, SystemTime now);

// The first event of `events` (in their order) that is the meeting: its title and the names
// of its attendees, nameless ones skipped. Nothing when none is.
std::optional<Meeting> pick(const std::vector<Event>& events, Platform platform, SystemTime now);

// Asks `store` for the range around `now` and picks the meeting. A store that cannot be read
// gives nothing, like a calendar without the meeting.
std::optional<Meeting> current(Platform platform, SystemTime now, const Store& store);

} // namespace tallyvox::CalendarRoster
