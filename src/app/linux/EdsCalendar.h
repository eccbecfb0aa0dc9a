#pragma once

#include "base/Clock.h"
#include "speakers/CalendarRoster.h"
#include "types/DetectedMeeting.h"

#include <chrono>
#include <optional>
#include <vector>

namespace tallyvox::linux_services {

// The user's calendars as the desktop's calendar service (Evolution Data Server) keeps them:
// every enabled calendar, whatever account it belongs to. Each question runs on a thread of
// its own with its own GLib context and is waited for only so long: the session start asks
// on the main thread, and a missing, refusing or hung service must cost it no more than that
// wait. A question still stuck from an earlier start makes later ones answer nothing at once.
class EdsCalendar {
public:
    struct Limits {
        // For the source registry to answer at all.
        std::chrono::milliseconds registry{1000};
        // For the whole question: registry, every calendar opened and read.
        std::chrono::milliseconds lookup{3000};
    };

    explicit EdsCalendar(Limits limits);
    EdsCalendar()
        : EdsCalendar(Limits{}) {}

    // Whether the calendar service answers; a plain desktop has no other calendar permission.
    bool isAllowed() const;

    // The event occurrences of every enabled calendar that overlap `from`…`to`, calendars in
    // the order of their names, each calendar's occurrences in the order it gives them.
    // Nothing when the service cannot be reached in time; a calendar that cannot be opened or
    // read is left out.
    std::optional<std::vector<CalendarRoster::Event>> events(SystemTime from, SystemTime to) const;

    // The meeting running or starting now on `platform`, from these calendars.
    std::optional<CalendarRoster::Meeting> current(Platform platform, SystemTime now) const;

    // Questions given up on whose threads have not ended yet (one the service never answers
    // keeps its thread until the bus gives up on it).
    static int unanswered();

private:
    Limits limits_;
};

} // namespace tallyvox::linux_services
