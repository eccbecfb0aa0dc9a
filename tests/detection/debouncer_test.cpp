#include "detection/MeetingDebouncer.h"

#include <gtest/gtest.h>

using namespace tallyvox;

namespace {
const DetectedMeeting zoom{Platform::zoom, 812, "Zoom", false};
const DetectedMeeting teams{Platform::teams, 4711, "Microsoft Teams", false};
auto running = [](std::int32_t) { return true; };
} // namespace

TEST(MeetingDebouncer, StartsAfterTheStartDelayAndAsksToBeRecheckedThen) {
    MeetingDebouncer d;
    auto r = d.update({zoom}, running, 100.0);
    EXPECT_TRUE(r.active.empty());
    ASSERT_TRUE(r.recheckAt);
    EXPECT_DOUBLE_EQ(*r.recheckAt, 101.5);

    r = d.update({zoom}, running, 101.5);
    EXPECT_EQ(r.active, std::vector<DetectedMeeting>{zoom});
    EXPECT_FALSE(r.recheckAt) << "a seen, started meeting needs no timer";
}

TEST(MeetingDebouncer, ShortSightingLeavesNoEntry) {
    MeetingDebouncer d;
    d.update({zoom}, running, 0.0);
    auto r = d.update({}, running, 1.0);
    EXPECT_TRUE(r.active.empty());
    EXPECT_FALSE(r.recheckAt);
    EXPECT_TRUE(d.entries.empty());
    // Seen again later: the delay starts over.
    r = d.update({zoom}, running, 2.0);
    EXPECT_DOUBLE_EQ(*r.recheckAt, 3.5);
}

TEST(MeetingDebouncer, EndsOnlyAfterTheEndDelayUnseen) {
    MeetingDebouncer d;
    d.update({zoom}, running, 0.0);
    d.update({zoom}, running, 2.0);

    auto r = d.update({}, running, 3.0);
    EXPECT_EQ(r.active.size(), 1u);
    EXPECT_DOUBLE_EQ(*r.recheckAt, 11.0);
    r = d.update({}, running, 10.0);
    EXPECT_EQ(r.active.size(), 1u) << "7 s away is not an end";
    r = d.update({zoom}, running, 10.5);
    EXPECT_EQ(r.active.size(), 1u);
    EXPECT_FALSE(d.entries.at("Zoom-812").offSince) << "seen again clears the absence";

    d.update({}, running, 11.0);
    r = d.update({}, running, 19.0);
    EXPECT_TRUE(r.active.empty());
    EXPECT_TRUE(d.entries.empty());
}

TEST(MeetingDebouncer, ExitedProcessEndsAtOnce) {
    MeetingDebouncer d;
    d.update({zoom, teams}, running, 0.0);
    d.update({zoom, teams}, running, 2.0);
    auto r = d.update(
        {zoom, teams}, [](std::int32_t pid) { return pid != 812; }, 2.1);
    EXPECT_EQ(r.active, std::vector<DetectedMeeting>{teams});
}

TEST(MeetingDebouncer, ActiveIsEarliestFirstAndDuplicatesMerge) {
    MeetingDebouncer d;
    d.update({teams}, running, 0.0);
    DetectedMeeting renamed = zoom;
    renamed.appName = "other";
    d.update({zoom, renamed, zoom, teams}, running, 1.0);
    auto r = d.update({zoom, teams}, running, 3.0);
    ASSERT_EQ(r.active.size(), 2u);
    EXPECT_EQ(r.active[0], teams);
    EXPECT_EQ(r.active[1], zoom) << "the sighting that created the entry is kept";
    EXPECT_EQ(d.entries.size(), 2u);
}

TEST(MeetingDebouncer, RecheckIsTheEarliestDeadline) {
    MeetingDebouncer d;
    d.update({zoom}, running, 0.0);
    d.update({zoom}, running, 2.0);
    auto r = d.update({teams}, running, 3.0); // zoom off since 3 (ends 11), teams pending (4.5)
    EXPECT_DOUBLE_EQ(*r.recheckAt, 4.5);
}
