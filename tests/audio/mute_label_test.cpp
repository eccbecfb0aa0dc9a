#include "audio/MuteLabel.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tallyvox;

namespace {

struct LabelCase {
    const char* label;
    std::optional<long> value;
    std::optional<bool> muted;
};

} // namespace

TEST(MuteLabel, ReadsWhatMeetingClientsWrite) {
    const std::vector<LabelCase> cases = {
        // The button names what it would do.
        {"Mute (⌘⇧A)", std::nullopt, false},
        {"Mute (Alt+A)", std::nullopt, false},
        {"Unmute", std::nullopt, true},
        {"unmute, microphone", std::nullopt, true},
        {"Mute mic", std::nullopt, false},
        {"Unmute my audio", std::nullopt, true},
        // Or the state it is in.
        {"Microphone muted", std::nullopt, true},
        {"Microphone unmuted", std::nullopt, false},
        {"Turn off microphone (ctrl + d)", std::nullopt, false},
        {"Turn on microphone", std::nullopt, true},
        {"turn on mic", std::nullopt, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MuteLabel::muted(c.label, c.value), c.muted) << c.label;
}

TEST(MuteLabel, AMicrophoneToggleNeedsItsValue) {
    EXPECT_EQ(MuteLabel::muted("Microphone", 0), true);
    EXPECT_EQ(MuteLabel::muted("Microphone", 1), false);
    EXPECT_EQ(MuteLabel::muted("Microphone", std::nullopt), std::nullopt);
    EXPECT_EQ(MuteLabel::muted("Mic (ctrl+d)", 0), true);
    EXPECT_EQ(MuteLabel::muted(" microphone \n", 1), false);
}

TEST(MuteLabel, OtherMuteControlsAreNotTheUsersMicrophone) {
    for (const char* label :
         {"Mute all", "Mute everyone", "Mute participant Ann", "Mute notifications", "Mute chat",
          "Mute speaker", "Stop video", "Mute video",
          // The exclusion words count inside other words: "call" holds "all".
          "Mute call audio",
          // A mute without a microphone or audio in it, not named just mute.
          "Mute this conversation", "Muted by the host for 3 minutes", "Share screen", ""}) {
        EXPECT_EQ(MuteLabel::muted(label, std::nullopt), std::nullopt) << label;
        EXPECT_EQ(MuteLabel::muted(label, 0), std::nullopt) << label;
    }
}

TEST(MuteLabel, CollectsTextsThatMayNameAMuteControl) {
    for (const char* label : {"Mute notifications", "UNMUTE", "Mic", "mic (ctrl+d)",
                              "Microphone settings", "Turn off mic", "Turn on microphone"})
        EXPECT_TRUE(MuteLabel::isLabel(label)) << label;
    for (const char* label : {"Micro", "Comic", "Chat", "Leave", "Mica ", "Camera"})
        EXPECT_FALSE(MuteLabel::isLabel(label)) << label;
}

TEST(MuteScope, OnlyTheMeetingsOwnPageIsTrusted) {
    auto meet = std::optional<Platform>(Platform::meet);
    // A native app, or anything under a trusted page: everything counts.
    EXPECT_EQ(MuteScope::trusted(false, false, std::nullopt, std::nullopt), true);
    EXPECT_EQ(MuteScope::trusted(true, false, std::nullopt, meet), true);
    // Browser chrome around the pages: not read, but looked through.
    EXPECT_EQ(MuteScope::trusted(false, false, std::nullopt, meet), false);
    // Pages: only one of the meeting's platform.
    EXPECT_EQ(MuteScope::trusted(false, true, Platform::meet, meet), true);
    EXPECT_EQ(MuteScope::trusted(false, true, Platform::teams, meet), std::nullopt);
    EXPECT_EQ(MuteScope::trusted(false, true, std::nullopt, meet), std::nullopt);
}

namespace {

// Feeds readings and returns the states reported, in order (nothing for unknown).
std::vector<std::optional<bool>> reports(MuteTracker tracker,
                                         const std::vector<std::optional<bool>>& readings) {
    std::vector<std::optional<bool>> out;
    for (auto reading : readings) {
        if (tracker.update(reading))
            out.push_back(tracker.state);
    }
    return out;
}

constexpr std::optional<bool> none = std::nullopt;

} // namespace

TEST(MuteTracker, ANativeAppThatLosesItsButtonTurnsUnknownAtTheFifthMiss) {
    MuteTracker tracker(false);
    std::vector<std::optional<bool>> seen;
    for (auto reading : {std::optional<bool>(true), none, none, none, none}) {
        if (tracker.update(reading))
            seen.push_back(tracker.state);
    }
    EXPECT_EQ(seen, (std::vector<std::optional<bool>>{true}));
    EXPECT_TRUE(tracker.update(none));
    EXPECT_EQ(tracker.state, none);
    // Unknown is said once.
    EXPECT_FALSE(tracker.update(none));
    EXPECT_FALSE(tracker.update(none));
    // And the button coming back is news again.
    EXPECT_TRUE(tracker.update(true));
    EXPECT_EQ(tracker.state, true);
}

TEST(MuteTracker, AWebMeetingKeepsTheLastState) {
    EXPECT_EQ(reports(MuteTracker(true), {true, none, none, none, none, none, none, none}),
              (std::vector<std::optional<bool>>{true}));
    EXPECT_EQ(reports(MuteTracker(true), {false, none, none, none, none, none, true}),
              (std::vector<std::optional<bool>>{false, true}));
}

TEST(MuteTracker, ReportsChangesOnly) {
    EXPECT_EQ(reports(MuteTracker(false), {true, true, false, false, true}),
              (std::vector<std::optional<bool>>{true, false, true}));
    // Four misses between equal readings are no change.
    EXPECT_EQ(reports(MuteTracker(false), {false, none, none, none, none, false}),
              (std::vector<std::optional<bool>>{false}));
}

TEST(MuteTracker, NoButtonAtAllIsReportedUnknownOnce) {
    for (bool holdsLast : {false, true}) {
        EXPECT_EQ(reports(MuteTracker(holdsLast), {none, none, none, none}),
                  (std::vector<std::optional<bool>>{}));
        EXPECT_EQ(reports(MuteTracker(holdsLast), std::vector<std::optional<bool>>(12, none)),
                  (std::vector<std::optional<bool>>{none}));
    }
}
