#include "base/AtomicFile.h"
#include "fakes/Lines.h"
#include "fakes/TempDir.h"
#include "transcripts/DateText.h"
#include "transcripts/ExportFormat.h"
#include "transcripts/TranscriptManager.h"

#include <gtest/gtest.h>

#include <ctime>
#include <set>

using namespace tallyvox;
using namespace std::chrono;
using tallyvox::testing::ScopedEnv;
using tallyvox::testing::TempDir;
namespace fs = std::filesystem;
using Pairs = std::vector<std::pair<std::string, std::string>>;

namespace {

// Pins the time zone; members go in reverse order, so tzset runs after TZ is restored.
struct ScopedTimeZone {
    struct Reread {
        ~Reread() { ::tzset(); }
    } reread;
    ScopedEnv env;
    explicit ScopedTimeZone(const char* zone)
        : env("TZ", zone) {
        ::tzset();
    }
};

// A December 2026 moment as read in New York.
SystemTime newYork(int hour = 14, int minute = 5, int day = 6) {
    return sys_days{year{2026} / December / day} + hours{hour + 5} + minutes{minute};
}

using tallyvox::testing::line;

TranscriptRecord teamsRecord() {
    TranscriptRecord r;
    r.meeting = DetectedMeeting{Platform::teams, 812, "Microsoft Teams", false};
    r.startedAt = newYork();
    r.consentAt = newYork(14, 4);
    r.meetingTitle = "Design\r\nreview";
    return r;
}

std::string names(int speaker) {
    return speaker == 1000 ? "Sam" : "Ana\nLopez";
}

} // namespace

TEST(DateText, EnglishTextsInTheZoneOfTheMoment) {
    ScopedTimeZone zone("America/New_York");
    EXPECT_EQ(DateText::format(newYork(), "yyyy|MMMM|dd-MM-yy|HH-mm|d MMMM y|h:mm a"),
              "2026|December|06-12-26|14-05|6 December 2026|2:05 PM");
    EXPECT_EQ(DateText::format(newYork(0, 7), "h:mm a"), "12:07 AM");
    EXPECT_EQ(DateText::format(newYork(12, 0), "h 'o''clock' a"), "12 o'clock PM");
    EXPECT_THROW(DateText::format(newYork(), "EEEE"), std::invalid_argument);
    ScopedTimeZone tokyo("Asia/Tokyo");
    EXPECT_EQ(DateText::format(newYork(), "d MMMM HH-mm"), "7 December 04-05");
}

TEST(TranscriptFiles, FileNameFoldersAndSuffixesForTheSameMinute) {
    ScopedTimeZone zone("America/New_York");
    std::set<fs::path> taken;
    auto exists = [&](const fs::path& p) { return taken.count(p) > 0; };
    for (const char* expected :
         {"Teams_Meeting_14-05.txt", "Teams_Meeting_14-05_2.txt", "Teams_Meeting_14-05_3.txt"}) {
        auto path = TranscriptManager::filePath("/r", Platform::teams, newYork(), exists);
        EXPECT_EQ(path, fs::path("/r/2026/December/06-12-26") / expected);
        taken.insert(path);
    }
    // The default test asks the disk; a dangling link takes the name too.
    TempDir dir;
    TranscriptManager::write("x",
                             TranscriptManager::filePath(dir.path(), Platform::meet, newYork()));
    fs::path next = TranscriptManager::filePath(dir.path(), Platform::meet, newYork());
    EXPECT_EQ(next.filename(), "Meet_Meeting_14-05_2.txt");
    fs::create_symlink(dir / "nowhere", next);
    EXPECT_EQ(TranscriptManager::filePath(dir.path(), Platform::meet, newYork()).filename(),
              "Meet_Meeting_14-05_3.txt");
    EXPECT_EQ(exportPath(next, ExportFormat::word).filename(), "Meet_Meeting_14-05_2.docx");
}

TEST(TranscriptFiles, HeaderVariants) {
    ScopedTimeZone zone("America/New_York");
    auto r = teamsRecord();
    r.endedAt = newYork(15, 40);
    r.wordFixes = 1;
    EXPECT_EQ(TranscriptManager::header(r), (Pairs{{"Meeting", "Design review"},
                                                   {"Platform", "Microsoft Teams"},
                                                   {"Date", "6 December 2026"},
                                                   {"Start", "2:05 PM"},
                                                   {"End", "3:40 PM"},
                                                   {"Consent", "Confirmed by user at 2:04 PM"},
                                                   {"Edited", "1 word fix by the user"}}));
    r.automaticConsent = true;
    r.consentAt = newYork(9, 0, 1);
    r.wordFixes = 3;
    r.meeting = DetectedMeeting{Platform::meet, 90, "Chrome", true};
    r.meetingTitle.reset();
    auto pairs = TranscriptManager::header(r);
    EXPECT_EQ(pairs[0].second, "Meet Meeting");
    EXPECT_EQ(pairs[1].second, "Google Meet (Chrome)");
    EXPECT_EQ(pairs[5].second,
              "Automatic transcription (standing consent given by user on 1 December 2026)");
    EXPECT_EQ(pairs[6].second, "3 word fixes by the user");
    r.wordFixes = 0;
    r.meetingTitle = "";
    EXPECT_EQ(TranscriptManager::header(r).back().first, "Consent");
    EXPECT_EQ(TranscriptManager::header(r).front().second, "");
}

TEST(TranscriptFiles, BlocksJoinOnlyConsecutiveLinesOfOneSpeaker) {
    auto blocks = TranscriptManager::blocks(
        {line(1, 2, "Hello.", 1), line(2, 3, "Still me.", 1), line(3, 4, "Other.", 2),
         line(4, 5, "Back.", 1), line(5, 6, "Who.", std::nullopt),
         line(6, 7, "Who two.", std::nullopt), line(7, 8, "After.", 1)});
    EXPECT_EQ(blocks, (std::vector<TranscriptManager::Block>{{1, 1, "Hello. Still me."},
                                                             {3, 2, "Other."},
                                                             {4, 1, "Back."},
                                                             {5, std::nullopt, "Who."},
                                                             {6, std::nullopt, "Who two."},
                                                             {7, 1, "After."}}));
}

TEST(TranscriptFiles, TextFileAndEmptySessionFileInFull) {
    ScopedTimeZone zone("America/New_York");
    auto r = teamsRecord();
    const std::string head = "Meeting: Design review\n"
                             "Platform: Microsoft Teams\n"
                             "Date: 6 December 2026\n"
                             "Start: 2:05 PM\n"
                             "Consent: Confirmed by user at 2:04 PM\n";
    int asked = 0;
    auto name = [&](int s) { return ++asked, names(s); };
    EXPECT_EQ(
        TranscriptManager::text(r,
                                {line(-0.4, 3, "Good morning", 1000), line(3, 4, "everyone.", 1000),
                                 line(5, 6, "Hi.", 2), line(3725.9, 3727, "Static.", std::nullopt)},
                                name),
        head + "\n[00:00:00] Sam:\nGood morning everyone.\n"
               "\n[00:00:05] Ana Lopez:\nHi.\n"
               "\n[01:02:05]\nStatic.\n");
    EXPECT_EQ(asked, 2) << "a line without a speaker asks for no name";
    EXPECT_EQ(TranscriptManager::text(r, {}, name), head);
    EXPECT_EQ(TranscriptManager::emptySessionText(r, true),
              head + "\nNo speech was transcribed. Sound was received, but Whisper found no "
                     "words in it.\n");
    EXPECT_EQ(TranscriptManager::emptySessionText(r, false),
              head + "\n" + std::string(TranscriptManager::noSoundMessage) + "\n");
}

// A session without lines is saved again whenever a speaker is renamed or the roster is set;
// its file keeps saying why there are no lines.
TEST(TranscriptFiles, SavingASessionWithoutLinesAgainKeepsWhatItsFileSays) {
    ScopedTimeZone zone("America/New_York");
    TempDir dir;
    auto r = teamsRecord();
    r.filePath = dir / "Teams_Meeting_14-05.txt";
    auto name = [](int s) { return names(s); };
    const std::string head = TranscriptManager::text(r, {}, name);
    ASSERT_EQ(head.find("No speech"), std::string::npos);

    const std::string explanation =
        TranscriptManager::modelNotLoadedMessage("The file ends early.\nTry again.");
    for (const std::string& empty : {TranscriptManager::emptySessionText(r, false),
                                     TranscriptManager::emptySessionText(r, explanation)}) {
        writeFileAtomically(r.filePath, empty);
        r.endedAt = newYork(15, 0); // changed since, as a save after the end may find it
        const std::string again = TranscriptManager::text(r, {}, name);
        EXPECT_EQ(again.substr(again.find("\n\n")), empty.substr(empty.find("\n\n")));
        EXPECT_NE(again.find("End: 3:00 PM\n"), std::string::npos) << again;
        writeFileAtomically(r.filePath, again);
        EXPECT_EQ(TranscriptManager::text(r, {}, name), again) << "saved twice, said once";
        r.endedAt.reset();
    }

    // Lines replace the explanation; a file that is not a transcript, or a link planted at its
    // name, gives nothing to keep.
    EXPECT_EQ(TranscriptManager::text(r, {line(4, 5, "Hello.", 2)}, name),
              head + "\n[00:00:04] Ana Lopez:\nHello.\n");
    writeFileAtomically(dir / "elsewhere.txt", TranscriptManager::emptySessionText(r, true));
    fs::remove(r.filePath);
    fs::create_symlink(dir / "elsewhere.txt", r.filePath);
    EXPECT_EQ(TranscriptManager::text(r, {}, name), head);
    fs::remove(r.filePath);
    writeFileAtomically(r.filePath, "Shopping list\n\nmilk\n");
    EXPECT_EQ(TranscriptManager::text(r, {}, name), head);
}

TEST(TranscriptFiles, MarkdownExportInFull) {
    ScopedTimeZone zone("America/New_York");
    auto r = teamsRecord();
    r.wordFixes = 2;
    EXPECT_EQ(
        TranscriptManager::markdown(
            r, {line(4, 6, "Good morning", 1000), line(9, 10, "Noise.", std::nullopt)}, names),
        "# Design review\n\n"
        "**Platform:** Microsoft Teams  \n"
        "**Date:** 6 December 2026  \n"
        "**Start:** 2:05 PM  \n"
        "**Consent:** Confirmed by user at 2:04 PM  \n"
        "**Edited:** 2 word fixes by the user  \n"
        "\n**[00:00:04] Sam:** Good morning\n"
        "\n**[00:00:09]** Noise.\n");
}

TEST(TranscriptFiles, SubtitlesOneCuePerLineWithShortCuesLengthened) {
    EXPECT_EQ(TranscriptManager::srt({line(-0.4, 2, "First.", 1000), line(10.0, 10.2, "Short.", 2),
                                      line(3725.9, 3725.9, "Late.", std::nullopt),
                                      line(20, 20.6, "Long enough.", 1000)},
                                     names),
              "1\n00:00:00,000 --> 00:00:02,000\nSam: First.\n"
              "\n2\n00:00:10,000 --> 00:00:10,500\nAna Lopez: Short.\n"
              "\n3\n01:02:05,900 --> 01:02:06,400\nLate.\n"
              "\n4\n00:00:20,000 --> 00:00:20,600\nSam: Long enough.\n");
    EXPECT_EQ(TranscriptManager::srt({}, names), "");
}

TEST(TranscriptFiles, DefaultRootFollowsTheDocumentsFolderOfTheMoment) {
    TempDir home;
    ScopedEnv h("HOME", home.path().string());
    ScopedEnv c("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(TranscriptManager::defaultRoot(), home / "Documents/Tallyvox");
    writeFileAtomically(home / ".config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/Papiere\"\n");
    EXPECT_EQ(TranscriptManager::defaultRoot(), home / "Papiere/Tallyvox");
}
