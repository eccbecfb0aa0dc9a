#include "settings/ConsentManager.h"

#include "base/AtomicFile.h"
#include "base/Log.h"
#include "fakes/TempDir.h"
#include "settings/SettingsManager.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tallyvox;
using tallyvox::testing::TempDir;
namespace fs = std::filesystem;

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

namespace {
std::string grantedFile() {
    return PlistValue(PlistValue::Dictionary{{"standingConsentAt", granted}}).toXml();
}

size_t linesWith(const Log::Capture& log, const std::string& text) {
    size_t count = 0;
    for (const auto& line : log.texts())
        count += line.find(text) != std::string::npos;
    return count;
}
} // namespace

// The consent file says whether meetings are transcribed without asking; only a file that is
// the user's own says so.
TEST(ConsentManager, AConsentFileOthersCouldHaveWrittenGrantsNothing) {
    TempDir dir;
    auto file = dir / ".settings.plist";
    Log::Capture log;

    writeFileAtomically(file, grantedFile());
    ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
    EXPECT_FALSE(ConsentManager::standingConsentDate(file));
    EXPECT_FALSE(ConsentManager::standing(zoom, file));
    EXPECT_FALSE(ProtectedSettings::load(file));
    EXPECT_EQ(ConsentManager::ignoredText(file),
              "Automatic transcription is off: .settings.plist can be changed by other users. "
              "Turn it on again to replace the file.");
    EXPECT_EQ(linesWith(log, "can be changed by other users"), 1u) << "said once, not per read";

    ASSERT_EQ(::chmod(file.c_str(), 0620), 0);
    EXPECT_FALSE(ConsentManager::standingConsentDate(file)) << "group-writable is no better";

    // Giving consent again replaces the file with one of the user's own.
    ConsentManager::grantStanding(granted, file);
    EXPECT_EQ(ConsentManager::standingConsentDate(file), granted);
    EXPECT_FALSE(ConsentManager::ignoredText(file));

    fs::path elsewhere = dir / "elsewhere.plist";
    writeFileAtomically(elsewhere, grantedFile());
    fs::remove(file);
    fs::create_symlink(elsewhere, file);
    EXPECT_FALSE(ConsentManager::standingConsentDate(file));
    EXPECT_NE(ConsentManager::ignoredText(file)->find("is a symbolic link"), std::string::npos);

    fs::remove(file);
    EXPECT_FALSE(ConsentManager::ignoredText(file)) << "no file is no refusal";
}

TEST(ConsentManager, AConsentFileOfAnotherUserGrantsNothing) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can give a file to another user";
    TempDir dir;
    auto file = dir / ".settings.plist";
    writeFileAtomically(file, grantedFile());
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
    Log::Capture log;
    EXPECT_FALSE(ConsentManager::standingConsentDate(file));
    EXPECT_NE(ConsentManager::ignoredText(file)->find("belongs to another user"),
              std::string::npos);
    EXPECT_EQ(linesWith(log, "belongs to another user"), 1u);
}

// Whatever sits at the path, reading it ends at once and grants nothing.
TEST(ConsentManager, ConsentFilesThatAreNotFilesAreRefusedAtOnce) {
    TempDir dir;
    auto file = dir / ".settings.plist";
    auto started = std::chrono::steady_clock::now();

    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_NE(ConsentManager::ignoredText(file)->find("is not a regular file"), std::string::npos);
    fs::remove(file);

    {
        // Sparse: larger than any property list, yet nothing on disk.
        int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, std::int64_t{1} << 30), 0);
        ::close(fd);
    }
    EXPECT_NE(ConsentManager::ignoredText(file)->find("is larger than 16 MB"), std::string::npos);
    ASSERT_EQ(::truncate(file.c_str(), (std::int64_t{16} << 20) + 1), 0);
    EXPECT_NE(ConsentManager::ignoredText(file)->find("is larger than 16 MB"), std::string::npos);

    writeFileAtomically(file, "<plist><array>");
    EXPECT_NE(ConsentManager::ignoredText(file)->find("is damaged"), std::string::npos);
    EXPECT_FALSE(ConsentManager::standingConsentDate(file));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}
