#include "speakers/CalendarRoster.h"

#include "speakers/PersonName.h"

#include <algorithm>

namespace tallyvox::CalendarRoster {

namespace {

// The markers are ASCII, so lowering ASCII letters finds them wherever full case mapping
// would.
std::string lowered(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : static_cast<char>(c);
    });
    return text;
}

// Link, location and notes, those present joined with one space.
std::string placesOf(const Event& event) {
    std::string joined;
    for (const auto* part : {&event.url, &event.location, &event.notes}) {
        if (!*part)
            continue;
        if (!joined.empty())
            joined += ' ';
        joined += **part;
    }
    return joined;
}

} // namespace

std::string_view marker(Platform platform) {
    switch (platform) {
    case Platform::zoom:
        return "zoom.us";
    case Platform::meet:
        return "meet.google.com";
    case Platform::teams:
        // Its links live on several hosts (teams.microsoft.com, teams.live.com); the first
        // label with its dot is what they share.
        return "teams.";
    }
    return "zoom.us";
}

Range range(SystemTime now) {
    return {addSeconds(now, -lookBehindSeconds), addSeconds(now, lookAheadSeconds)};
}

bool isMeeting(const Event& event, Platform platform, SystemTime now) {
    if (event.allDay)
        return false;
    if (event.start > addSeconds(now, lookAheadSeconds) || event.end < now)
        return false;
    return lowered(placesOf(event)).find(marker(platform)) != std::string::npos;
}

std::optional<Meeting> pick(const std::vector<Event>& events, Platform platform, SystemTime now) {
    for (const auto& event : events) {
        if (!isMeeting(event, platform, now))
            continue;
        Meeting meeting{.title = event.title, .names = {}};
        // Names join the roster, which holds no blank entries.
        for (const auto& name : event.attendees)
            if (auto clean = PersonName::cleaned(name); !clean.empty())
                meeting.names.push_back(std::move(clean));
        return meeting;
    }
    return std::nullopt;
}

std::optional<Meeting> current(Platform platform, SystemTime now, const Store& store) {
    if (!store)
        return std::nullopt;
    auto window = range(now);
    auto events = store(window.from, window.to);
    if (!events)
        return std::nullopt;
    return pick(*events, platform, now);
}

} // namespace tallyvox::CalendarRoster
