#include "speakers/CalendarRoster.h"

#include <gtest/gtest.h>

using namespace tallyvox;
using CalendarRoster::Event;

namespace {

const SystemTime now = std::chrono::system_clock::from_time_t(1'780'000'000);

Event zoomCall(double startOffset, double endOffset) {
    return Event{.title = "Weekly sync",
                 .start = addSeconds(now, startOffset),
                 .end = addSeconds(now, endOffset),
                 .allDay = false,
                 .url = "https://us02web.zoom.us/j/812345",
                 .location = std::nullopt,
                 .notes = std::nullopt,
                 .attendees = {"Ann Bell", "Sam Lee"}};
}

bool picked(const Event& event, Platform platform = Platform::zoom) {
    return CalendarRoster::isMeeting(event, platform, now);
}

} // namespace

TEST(CalendarRoster, OnlyAMeetingStartingSoonOrStillRunningIsPicked) {
    EXPECT_TRUE(picked(zoomCall(-1800, 1800)));
    EXPECT_TRUE(picked(zoomCall(600, 2400))) << "starts in 10 minutes";
    EXPECT_TRUE(picked(zoomCall(900, 2700))) << "starts exactly a quarter hour from now";
    EXPECT_FALSE(picked(zoomCall(901, 2700)));
    EXPECT_TRUE(picked(zoomCall(-3600, 0))) << "ends exactly now";
    EXPECT_FALSE(picked(zoomCall(-3600, -60))) << "ended a minute ago";

    auto allDay = zoomCall(-36000, 50400);
    allDay.allDay = true;
    EXPECT_FALSE(picked(allDay));
}

TEST(CalendarRoster, TheMarkerOfTheDetectedPlatformIsFoundInLinkLocationOrNotesInAnyCase) {
    auto event = zoomCall(-60, 1800);
    event.url = "HTTPS://Example.ZOOM.US/j/1";
    EXPECT_TRUE(picked(event));
    EXPECT_FALSE(picked(event, Platform::teams));
    EXPECT_FALSE(picked(event, Platform::meet));

    event.url.reset();
    event.location = "Room 4 / Teams.Microsoft.com";
    EXPECT_TRUE(picked(event, Platform::teams));
    EXPECT_FALSE(picked(event, Platform::zoom));

    event.location.reset();
    event.notes = "Join: https://teams.live.com/meet/93";
    EXPECT_TRUE(picked(event, Platform::teams));
    event.notes = "Join with Google Meet\nhttps://MEET.google.com/abc-defg-hij";
    EXPECT_TRUE(picked(event, Platform::meet));
    event.notes = "Microsoft Teams meeting (dial-in only)";
    EXPECT_FALSE(picked(event, Platform::teams)) << "the product's name is not its link";

    // The fields are joined with a space, so a marker never forms across two of them.
    event.location = "teams";
    event.notes = ".microsoft.com";
    EXPECT_FALSE(picked(event, Platform::teams));

    event = zoomCall(-60, 1800);
    event.url.reset();
    EXPECT_FALSE(picked(event)) << "nothing mentions a meeting link";
}

TEST(CalendarRoster, TheFirstMeetingInStoreOrderGivesTitleAndNamedAttendees) {
    auto allDay = zoomCall(-36000, 50400);
    allDay.allDay = true;
    allDay.title = "Offsite";
    auto teams = zoomCall(-300, 1800);
    teams.url = "https://teams.microsoft.com/l/meetup-join/1";
    teams.title = "Teams call";
    auto later = zoomCall(600, 2400);
    later.title = "Planning";
    later.attendees = {
        "Cy Park", "",       "  \t",         " Dee Ames\t",  "\u00A0",
        "\u3000",  "\u2028", "\u0085\u200A", "\x1b]0;x\x07", "\u3000Eve\u2028Roe\u00A0\x1b",
        "cy park"};
    auto earlier = zoomCall(-1200, 600);
    earlier.title = "Stand-up";

    auto meeting = CalendarRoster::pick({allDay, teams, later, earlier}, Platform::zoom, now);
    ASSERT_TRUE(meeting);
    EXPECT_EQ(meeting->title, "Planning") << "the store's order wins over start times";
    EXPECT_EQ(meeting->names,
              (std::vector<std::string>{"Cy Park", "Dee Ames", "]0;x", "Eve Roe", "cy park"}))
        << "nameless attendees (blank in any script) are skipped, controls dropped; duplicates "
           "are the matcher's business";

    later.title.reset();
    later.attendees.clear();
    meeting = CalendarRoster::pick({later}, Platform::zoom, now);
    ASSERT_TRUE(meeting);
    EXPECT_FALSE(meeting->title);
    EXPECT_TRUE(meeting->names.empty());

    EXPECT_FALSE(CalendarRoster::pick({allDay, teams}, Platform::zoom, now));
}

TEST(CalendarRoster, TheStoreIsAskedAroundNowAndAnUnreadableCalendarGivesNothing) {
    std::vector<CalendarRoster::Range> asked;
    CalendarRoster::Store store = [&](SystemTime from, SystemTime to) {
        asked.push_back({from, to});
        return std::optional<std::vector<Event>>(std::vector<Event>{zoomCall(-60, 1800)});
    };
    auto meeting = CalendarRoster::current(Platform::zoom, now, store);
    ASSERT_TRUE(meeting);
    EXPECT_EQ(meeting->title, "Weekly sync");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].from, addSeconds(now, -3600));
    EXPECT_EQ(asked[0].to, addSeconds(now, 900));

    EXPECT_FALSE(CalendarRoster::current(Platform::zoom, now, [](SystemTime, SystemTime) {
        return std::optional<std::vector<Event>>();
    }));
    EXPECT_FALSE(CalendarRoster::current(Platform::zoom, now, CalendarRoster::Store()));
}
