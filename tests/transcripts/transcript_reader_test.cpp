#include "transcripts/TranscriptManager.h"
#include "transcripts/TranscriptReader.h"

#include <gtest/gtest.h>

using namespace tallyvox;
using namespace std::chrono;
namespace fs = std::filesystem;

namespace {

// 6 December 2026 in London, where the tests run (UTC in winter).
SystemTime london(int hour, int minute, int day = 6) {
    return sys_days{year{2026} / December / day} + hours{hour} + minutes{minute};
}

TranscriptSegment segment(double start, std::optional<int> speaker, std::string text) {
    TranscriptSegment s;
    s.start = start;
    s.end = start + 2;
    s.speaker = speaker;
    s.text = std::move(text);
    return s;
}

std::string readBack(const std::string& text, TranscriptReader::Restored& out) {
    auto parsed = TranscriptReader::parse(text);
    if (!parsed)
        return "<not a transcript>";
    auto restored = TranscriptReader::restore(*parsed, "/t/Meet_Meeting_23-40.txt");
    if (!restored)
        return "<header not understood>";
    out = *restored;
    return TranscriptManager::text(out.record, out.segments,
                                   [&](int speaker) { return out.name(speaker); });
}

} // namespace

TEST(TranscriptReader, ReadsBackEveryHeaderFieldNameTimeAndLineTheFileHolds) {
    TranscriptRecord record;
    record.meeting = DetectedMeeting{Platform::meet, 4, "Chrome (beta)", true};
    record.startedAt = london(23, 40);
    record.consentAt = london(23, 39);
    record.endedAt = london(0, 55, 7); // past midnight
    record.meetingTitle = "Budget: Q3 [draft]";
    record.wordFixes = 3;
    const std::map<int, std::string> names = {
        {0, "Ana"}, {1, "Lee"}, {2, "Lee"}, {1000, "Sam: the boss"}, {7, ""}};
    const std::vector<TranscriptSegment> segments = {
        segment(-0.4, 0, "Good morning."),
        segment(2, 0, "Two lines of Ana make one turn."),
        segment(3725.9, std::nullopt, "Nobody's line."),
        segment(3726, std::nullopt, "Another nobody, never joined."),
        segment(3800, 1000,
                "A line\nthat breaks,\n\nwith a blank line and\n[00:00:01] Fake:\nin it."),
        segment(3900, 1, "Two voices named alike"),
        segment(3901, 2, "stay two turns."),
        segment(3902, 7, ""),
        segment(360000, 0, "A hundred hours in."),
    };
    const std::string text =
        TranscriptManager::text(record, segments, [&](int speaker) { return names.at(speaker); });

    TranscriptReader::Restored restored;
    EXPECT_EQ(readBack(text, restored), text);
    EXPECT_EQ(restored.record.meeting.platform, Platform::meet);
    EXPECT_TRUE(restored.record.meeting.isWeb);
    EXPECT_EQ(restored.record.meeting.appName, "Chrome (beta)");
    EXPECT_EQ(restored.record.meetingTitle, "Budget: Q3 [draft]");
    EXPECT_EQ(restored.record.startedAt, record.startedAt);
    EXPECT_EQ(restored.record.consentAt, record.consentAt);
    EXPECT_EQ(restored.record.endedAt, record.endedAt);
    EXPECT_EQ(restored.record.wordFixes, 3);
    EXPECT_EQ(restored.record.filePath, fs::path("/t/Meet_Meeting_23-40.txt"));

    auto parsed = TranscriptReader::parse(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->header, TranscriptManager::header(record));
    ASSERT_EQ(parsed->turns.size(), 8u);
    EXPECT_EQ(parsed->turns[0],
              (TranscriptReader::Turn{.start = 0,
                                      .speaker = "Ana",
                                      .text = "Good morning. Two lines of Ana make one turn."}));
    EXPECT_EQ(parsed->turns[1].start, 3725);
    EXPECT_EQ(parsed->turns[1].speaker, std::nullopt);
    EXPECT_EQ(parsed->turns[3].speaker, "Sam: the boss");
    EXPECT_EQ(parsed->turns[3].text, segments[4].text);
    EXPECT_EQ(parsed->turns[6].speaker, "");
    EXPECT_EQ(parsed->turns[6].text, "");
    EXPECT_EQ(parsed->turns[7].start, 360000);
    EXPECT_EQ(parsed->note, "");

    // Lines keep their order of time; each lasts until the next one starts.
    EXPECT_EQ(restored.segments[0].end, 3725);
    EXPECT_NE(restored.segments[4].speaker, restored.segments[5].speaker);
    EXPECT_EQ(restored.name(*restored.segments[4].speaker), "Lee");
    EXPECT_EQ(restored.segments[0].speaker, restored.segments[7].speaker);
}

TEST(TranscriptReader, StandingConsentUntitledMeetingsAndEmptySessions) {
    TranscriptRecord record;
    record.meeting = DetectedMeeting{Platform::teams, 1, "Microsoft Teams", false};
    record.startedAt = london(9, 5);
    record.consentAt = london(0, 0, 1);
    record.automaticConsent = true;
    TranscriptReader::Restored restored;
    const std::string headerOnly = TranscriptManager::text(record, {}, {});
    EXPECT_EQ(readBack(headerOnly, restored), headerOnly);
    EXPECT_EQ(restored.record.meetingTitle, std::nullopt);
    EXPECT_TRUE(restored.record.automaticConsent);
    EXPECT_EQ(restored.record.endedAt, std::nullopt);
    EXPECT_EQ(restored.record.wordFixes, 0);
    EXPECT_TRUE(restored.segments.empty());

    record.meetingTitle = "";
    const std::string empty = TranscriptManager::emptySessionText(record, true);
    auto parsed = TranscriptReader::parse(empty);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->note, TranscriptManager::noWordsMessage);
    EXPECT_TRUE(parsed->turns.empty());
    auto back = TranscriptReader::restore(*parsed, "x.txt");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->record.meetingTitle, "") << "an empty calendar title is kept, not replaced";

    // Saved again by an editor: CR LF line ends, trailing spaces stripped.
    std::string edited;
    for (char c : TranscriptManager::text(record, {segment(4, 0, "Hi\rthere")},
                                          [](int) { return std::string("Jo"); }))
        edited += c == '\n' ? std::string("\r\n") : std::string(1, c);
    edited.replace(edited.find("Meeting: "), 9, "Meeting:");
    auto reread = TranscriptReader::parse(edited);
    ASSERT_TRUE(reread) << ::testing::PrintToString(edited);
    EXPECT_EQ(reread->header, TranscriptManager::header(record));
    EXPECT_EQ(reread->turns, (std::vector<TranscriptReader::Turn>{
                                 {.start = 4, .speaker = "Jo", .text = "Hi\rthere"}}));
}

TEST(TranscriptReader, BrokenUtf8IsRepairedAndOtherFilesAreNotTranscripts) {
    std::string text = "\xEF\xBB\xBFMeeting: Caf\xE9\nPlatform: Zoom\nDate: 6 December 2026\n"
                       "Start: 9:05 AM\nConsent: Confirmed by user at 9:05 AM\n\n"
                       "[00:00:04] J\xFCrgen:\nGr\xFC\xDF Gott \xF0\x9F\x98\n";
    auto parsed = TranscriptReader::parse(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->header.front().second, "Caf\uFFFD");
    ASSERT_EQ(parsed->turns.size(), 1u);
    EXPECT_EQ(parsed->turns[0].speaker, "J\uFFFDrgen");
    EXPECT_EQ(parsed->turns[0].text, "Gr\uFFFD\uFFFD Gott \uFFFD");
    EXPECT_TRUE(TranscriptReader::restore(*parsed, "x.txt"));

    for (std::string_view other : {
             std::string_view(""),
             std::string_view("%PDF-1.5\n%\xB5\xED\xAE\xFB\n"),
             std::string_view("# Zoom Meeting\n\n**Platform:** Zoom  \n"),
             std::string_view("1\n00:00:01,000 --> 00:00:02,000\nHello\n"),
             std::string_view("Platform: Zoom\nMeeting: x\n"),
             std::string_view("Meeting: x\nno colon here\n"),
         })
        EXPECT_EQ(TranscriptReader::parse(other), std::nullopt) << other;

    // Ours in shape, but not a header this app writes.
    for (std::string_view header : {
             std::string_view("Meeting: x\nPlatform: Zoom\n"),
             std::string_view("Meeting: x\nPlatform: Skype\nDate: 6 December 2026\nStart: 9:05 "
                              "AM\nConsent: Confirmed by user at 9:05 AM\n"),
             std::string_view("Meeting: x\nPlatform: Zoom\nDate: 6 Brumaire 2026\nStart: 9:05 "
                              "AM\nConsent: Confirmed by user at 9:05 AM\n"),
             std::string_view("Meeting: x\nPlatform: Zoom\nDate: 6 December 2026\nStart: 25:05 "
                              "AM\nConsent: Confirmed by user at 9:05 AM\n"),
             std::string_view("Meeting: x\nPlatform: Zoom\nDate: 6 December 2026\nStart: 9:05 "
                              "AM\nConsent: maybe\n"),
             // Years the clock cannot hold (it overflowed, found by fuzzing).
             std::string_view("Meeting: x\nPlatform: Zoom\nDate: 6 December 0002\nStart: 9:05 "
                              "AM\nConsent: Confirmed by user at 9:05 AM\n"),
             std::string_view("Meeting: x\nPlatform: Zoom\nDate: 6 December 2026\nStart: 9:05 "
                              "AM\nConsent: Automatic transcription (standing consent given by "
                              "user on 1 May 1900)\n"),
         }) {
        auto shaped = TranscriptReader::parse(header);
        ASSERT_TRUE(shaped) << header;
        EXPECT_EQ(TranscriptReader::restore(*shaped, "x.txt"), std::nullopt) << header;
    }
}
