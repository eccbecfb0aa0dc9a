#include "settings/ConsentManager.h"

#include "base/Log.h"
#include "fakes/TempDir.h"
#include "settings/SettingsManager.h"

#include <gtest/gtest.h>

using namespace tallyvox;
using tallyvox::testing::TempDir;

namespace {
const SystemTime granted = SystemTime(std::chrono::seconds(1796558400));
const DetectedMeeting zoom{Platform::zoom, 812, "zoom.us", false};
const DetectedMeeting meet{Platform::meet, 4410, "Google Chrome", true};
} // namespace

TEST(ConsentManager, StatementsAreTheAgreedTexts) {
    EXPECT_EQ(ConsentManager::statement.size(), 72u);
    EXPECT_EQ(ConsentManager::standingStatement.size(), 147u);
}

TEST(ConsentManager, ConfirmGivesARecordOnlyWhenTheUserConfirmed) {
    Log::Capture log;
    EXPECT_FALSE(ConsentManager::confirm(zoom, false, granted));
    EXPECT_TRUE(log.lines().empty());

    auto record = ConsentManager::confirm(zoom, true, granted);
    ASSERT_TRUE(record);
    EXPECT_EQ(*record,
              (ConsentRecord{"Zoom-812", std::string(ConsentManager::statement), granted, false}));
    EXPECT_EQ(log.texts(), std::vector<std::string>{"Consent confirmed for Zoom-812"});
    EXPECT_EQ(log.lines()[0].level, spdlog::level::info);
}

TEST(ConsentManager, StandingConsentCoversEveryMeetingWithTheGrantDate) {
    TempDir dir;
    auto file = dir / ".settings.plist";
    EXPECT_FALSE(ConsentManager::standing(zoom, file));

    Log::Capture log;
    ConsentManager::grantStanding(granted, file);
    EXPECT_TRUE(log.contains("Standing consent given: automatic transcription on"));
    EXPECT_EQ(ConsentManager::standingConsentDate(file), granted);

    auto first = ConsentManager::standing(zoom, file);
    auto second = ConsentManager::standing(meet, file);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->confirmedAt, granted);
    EXPECT_EQ(second->confirmedAt, granted);
    EXPECT_EQ(first->meetingID, "Zoom-812");
    EXPECT_EQ(second->meetingID, "Meet-4410");
    EXPECT_TRUE(second->automatic);
    EXPECT_EQ(second->statement, ConsentManager::standingStatement);

    ConsentManager::grantStanding(granted + std::chrono::hours(24), file);
    EXPECT_EQ(ConsentManager::standing(zoom, file)->confirmedAt, granted + std::chrono::hours(24));

    ConsentManager::revokeStanding(file);
    EXPECT_TRUE(log.contains("Standing consent withdrawn: automatic transcription off"));
    EXPECT_FALSE(ConsentManager::standingConsentDate(file));
    EXPECT_FALSE(ConsentManager::standing(zoom, file));
    EXPECT_FALSE(ConsentManager::standing(meet, file));
}

TEST(ConsentManager, AStoredValueThatIsNoDateIsNoConsent) {
    TempDir dir;
    auto file = dir / ".settings.plist";
    ProtectedSettings::set(PlistValue("2026-12-06"), SettingsManager::Key::standingConsentAt, file);
    EXPECT_FALSE(ConsentManager::standingConsentDate(file));
    EXPECT_FALSE(ConsentManager::standing(zoom, file));
}
