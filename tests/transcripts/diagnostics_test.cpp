#include "transcripts/Diagnostics.h"

#include "session/DiagnosticsContext.h"
#include "settings/AppInfo.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>

using namespace tallyvox;
using TranscriptManager::Diagnostics;
using TranscriptManager::DiagnosticsContext;

namespace {

const DiagnosticsContext context{"Version 1.2.3 \u00b7 Build 45 \u00b7 2026-01-02", true,
                                 WhisperModel::turbo};

TranscriptRecord record(const char* path = "/home/ana/Transcripts/Teams_Meeting_14-05.txt") {
    TranscriptRecord r;
    r.filePath = path;
    return r;
}

TranscriptSegment line(double start, double end, std::string text = "word") {
    TranscriptSegment s;
    s.start = start;
    s.end = end;
    s.text = std::move(text);
    return s;
}

// A quiet, healthy session: no section is added and no hint fires unless a test asks.
Diagnostics quiet() {
    Diagnostics d;
    d.sessionSeconds = 600;
    d.options.model = WhisperModel::turbo;
    d.options.language = "auto";
    d.options.chunkSeconds = 20;
    d.options.diarize = false;
    return d;
}

std::string report(const Diagnostics& d, const std::vector<TranscriptSegment>& lines = {}) {
    return TranscriptManager::diagnostics(record(), lines, d, context);
}

std::string section(const std::string& text, const std::string& heading) {
    auto from = text.find(heading);
    if (from == std::string::npos)
        return {};
    auto to = text.find("\n\n", from);
    return text.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

} // namespace

TEST(Diagnostics, FullSessionWithCaptureMicAndTwoChannels) {
    Diagnostics d;
    d.sessionSeconds = 3725.4;
    d.pausedSeconds = 65;
    d.options.model = WhisperModel::small;
    d.options.language = "en";
    d.options.chunkSeconds = 20;
    d.options.diarize = true;
    CaptureStats capture;
    capture.lastSoundAt = SystemTime{} + std::chrono::seconds(5);
    capture.droppedSeconds = 12.5;
    capture.overflowEvents = 3;
    capture.maxBufferedSeconds = 31.3;
    capture.receivedSeconds = 3000;
    capture.levelSum = 12.3456;
    capture.callbacks = 1000;
    capture.buffersInCallback = 1;
    capture.format = "48000 Hz, 2 ch";
    d.meetingAudio = capture;
    d.mic = Diagnostics::Mic{3500, 0, 120.5};
    d.micDevice = "USB headset";
    d.micRestarts = 2;
    d.muteWatched = true;
    d.outputIsSpeakers = true;
    d.device = "Vulkan: Radeon 780M";
    // Inserted in reverse so the report's order can only come from the names.
    d.engine["your microphone"] =
        EngineStats{3500, 3500, 40, 175, 700, 0, 5, 0, 0, 3, 0, 0, 0, 0, ""};
    d.engine["meeting audio"] =
        EngineStats{3000, 2990, 2400, 150, 1196, 50, 75.9, 300, 12, 0, 2, 8.5, 4, 1, "de"};

    std::vector<TranscriptSegment> lines{
        line(10, 14, "Hello  everyone"),   line(5, 9, "Good morning"), line(60, 70, ""),
        line(100, 400, " one two three "), line(200, 210, "overlap"),  line(3600.9, 3605, "Bye."),
    };

    EXPECT_EQ(TranscriptManager::diagnostics(record(), lines, d, context),
              R"txt(Tallyvox diagnostics: Teams_Meeting_14-05.txt
Version 1.2.3 · Build 45 · 2026-01-02
No audio is stored. These numbers show where words could have been lost.

Session: 01:02:05 (paused 65.0 s)
Model: Small · language en · window 20 s · VAD on · speakers on
Device: Vulkan: Radeon 780M

1. Capture (meeting audio)
   received 3000.0 s of 3660.4 s live session time (82.0%)
   format 48000 Hz, 2 ch · average level 0.0123 · buffers per callback 1
   dropped because transcription fell behind: 12.5 s (3 times) · max waiting 31.3 s
   output: built-in speakers (the mic hears other people too)
   mic device: USB headset · restarted 2 times
   mic: received 3500.0 s (95.6%) · dropped 0.0 s · ignored while muted 120.5 s · meeting mute button watched

2. Transcription (meeting audio)
   processed 2990.0 s of 3000.0 s received (99.7%)
   speech found by VAD 2400.0 s · windows 150 · max queue 75.9 s
   Whisper time 1196.0 s (0.40× real time) · speaker labels 50.0 s
   lines 300 · repeated words trimmed 12 · echo lines dropped 0 · made-up lines dropped 4 · skipped speech heard again 2 times (8.5 s) · language de (1 switches)

2. Transcription (your microphone)
   processed 3500.0 s of 3500.0 s received (100.0%)
   speech found by VAD 40.0 s · windows 175 · max queue 5.0 s
   Whisper time 700.0 s (0.20× real time) · speaker labels 0.0 s
   lines 0 · repeated words trimmed 0 · echo lines dropped 3 · made-up lines dropped 0 · skipped speech heard again 0 times (0.0 s) · language en (0 switches)

3. Transcript
   6 lines, 9 words, first 00:00:05, last 01:00:05
   gaps over 30 s (silence, or lost speech if people were talking):
   00:00:14–00:01:00 (46 s)
   00:06:40–01:00:00 (3200 s)

Hints
   - Large v3 Turbo is the recommended model on this computer: more accurate, and it skips fewer sentences. Settings › Transcription.
   - Capture got less audio than the meeting lasted: check the audio-recording permission, and whether the meeting app restarted or changed audio device.
   - Audio was dropped because transcription couldn't keep up: choose a smaller model.
   - Sound played from the computer's built-in speakers, so mic lines can be anyone. Use headphones for correct labels.
   - The meeting audio queue reached 75 s: the computer was slower than the meeting; a smaller model keeps text closer to live.
   - Speech was detected but no text came out: likely a language or model problem.
)txt");
}

TEST(Diagnostics, SessionWithoutCaptureMicOrChannels) {
    Diagnostics d = quiet();
    d.outputIsSpeakers = true; // without the microphone this is no hint

    EXPECT_EQ(TranscriptManager::diagnostics(record("/t/Zoom_Meeting_09-00.txt"), {}, d,
                                             {"Version dev", false, WhisperModel::turbo}),
              R"txt(Tallyvox diagnostics: Zoom_Meeting_09-00.txt
Version dev
No audio is stored. These numbers show where words could have been lost.

Session: 00:10:00 (paused 0.0 s)
Model: Large v3 Turbo · language auto · window 20 s · VAD off · speakers off
   output: built-in speakers (the mic hears other people too)
   mic: off (your own voice is only in the transcript when "Include my microphone" is on)

3. Transcript
   0 lines, 0 words, first –, last –
   no gaps over 30 s between lines

Hints
   none: capture and transcription kept up.
)txt");
}

TEST(Diagnostics, PausedLongerThanSessionLeavesPercentagesUndefined) {
    Diagnostics d = quiet();
    d.sessionSeconds = 100;
    d.pausedSeconds = 250;
    d.meetingAudio = CaptureStats{}; // no sound ever, nothing received
    d.mic = Diagnostics::Mic{0, 0, 0};
    auto text = report(d);

    EXPECT_NE(text.find("   received 0.0 s of 0.0 s live session time (\u2013)\n"),
              std::string::npos);
    EXPECT_NE(text.find("   format unknown \u00b7 average level 0.0000 \u00b7 "),
              std::string::npos);
    EXPECT_NE(text.find("   mic: received 0.0 s (\u2013) \u00b7 dropped"), std::string::npos);
    EXPECT_EQ(text.find("Capture got less audio"), std::string::npos);
    EXPECT_NE(text.find("   - No sound ever reached the app: check that the meeting played sound"),
              std::string::npos);
    // Without live time the microphone cannot be judged silent.
    EXPECT_EQ(text.find("Your microphone gave no audio"), std::string::npos);
}

TEST(Diagnostics, HintThresholds) {
    Diagnostics d = quiet();
    d.sessionSeconds = 100;
    d.meetingAudio = CaptureStats{};
    d.meetingAudio->lastSoundAt = SystemTime{};
    d.meetingAudio->receivedSeconds = 90; // exactly 0.9 of live: enough
    d.mic = Diagnostics::Mic{0.2, 0, 0.2};
    EXPECT_EQ(section(report(d), "Hints"),
              "Hints\n   - Your microphone gave no audio, so your own voice isn't in this "
              "transcript. Check that Tallyvox may use the microphone and the input device in the "
              "desktop's sound settings (some Bluetooth headsets give a second app nothing).\n");

    d.meetingAudio->receivedSeconds = 89.9;
    d.mic = Diagnostics::Mic{0.3, 0, 0.2}; // half a second heard: not silent
    d.options.model = WhisperModel::tiny;
    d.options.chunkSeconds = 25.9;
    auto text = report(d);
    EXPECT_NE(text.find("\u00b7 window 25 s \u00b7"), std::string::npos);
    EXPECT_EQ(section(text, "Hints"),
              "Hints\n   - Large v3 Turbo is the recommended model on this computer: more "
              "accurate, and it skips fewer sentences. Settings \u203a Transcription.\n   - Text "
              "updates every 25 s: long windows make Whisper skip sentences more often; 20 s "
              "measured best.\n   - Capture got less audio than the meeting lasted: check the "
              "audio-recording permission, and whether the meeting app restarted or changed audio "
              "device.\n");
}

TEST(Diagnostics, ChannelHintsFollowChannelNameOrder) {
    Diagnostics d = quiet();
    EngineStats slowAndMute;
    slowAndMute.maxPendingSeconds = 61;
    slowAndMute.speechSeconds = 31;
    EngineStats justMute;
    justMute.speechSeconds = 40;
    EngineStats fine; // 60 s queue and 30 s speech are still fine
    fine.maxPendingSeconds = 60;
    fine.speechSeconds = 30;
    d.engine = {{"your microphone", slowAndMute}, {"meeting audio", justMute}, {"b", fine}};
    auto text = report(d);

    auto meeting = text.find("\n2. Transcription (meeting audio)\n");
    auto b = text.find("\n2. Transcription (b)\n");
    auto mic = text.find("\n2. Transcription (your microphone)\n");
    ASSERT_NE(mic, std::string::npos);
    EXPECT_LT(b, meeting);
    EXPECT_LT(meeting, mic);
    EXPECT_EQ(section(text, "Hints"),
              "Hints\n   - Speech was detected but no text came out: likely a language or model "
              "problem.\n   - The your microphone queue reached 61 s: the computer was slower than "
              "the meeting; a smaller model keeps text closer to live.\n   - Speech was detected "
              "but no text came out: likely a language or model problem.\n");
}

TEST(Diagnostics, UnderOneSecondProcessedIsDividedByOne) {
    Diagnostics d = quiet();
    d.engine["x"] = EngineStats{0, 0.5, 0, 0, 2, 0, 0, 1, 0, 0, 0, 0, 0, 0, "en"};
    auto text = report(d);
    EXPECT_NE(text.find("   processed 0.5 s of 0.0 s received (\u2013)\n"), std::string::npos);
    EXPECT_NE(text.find("   Whisper time 2.0 s (2.00\u00d7 real time)"), std::string::npos);
}

TEST(Diagnostics, GapsUseTheRunningEnd) {
    Diagnostics d = quiet();
    // First line at 45 s: a gap from the session start.
    EXPECT_EQ(section(report(d, {line(45, 50)}), "3. Transcript"),
              "3. Transcript\n   1 lines, 1 words, first 00:00:45, last 00:00:50\n   gaps over 30 "
              "s (silence, or lost speech if people were talking):\n   00:00:00\u201300:00:45 "
              "(45 s)");

    // A long line covers the later ones. The last is the end of the line that starts last,
    // not the latest end.
    EXPECT_EQ(section(report(d, {line(140, 150), line(20, 200), line(30, 40), line(5, 20)}),
                      "3. Transcript"),
              "3. Transcript\n   4 lines, 4 words, first 00:00:05, last 00:02:30\n   no gaps over "
              "30 s between lines");

    // Exactly 30 s is no gap; a little more is, shown in whole seconds.
    EXPECT_NE(report(d, {line(30, 35)}).find("   no gaps over 30 s"), std::string::npos);
    EXPECT_NE(report(d, {line(30.9, 35)}).find("\n   00:00:00\u201300:00:30 (30 s)\n"),
              std::string::npos);
}

TEST(Diagnostics, ListsOnlyTheFirstTwentyGaps) {
    Diagnostics d = quiet();
    std::vector<TranscriptSegment> lines;
    for (int i = 1; i <= 25; ++i)
        lines.push_back(line(i * 100.0, i * 100.0 + 10));
    auto text = section(report(d, lines), "3. Transcript");

    size_t listed = 0;
    for (size_t at = text.find("\u2013"); at != std::string::npos; at = text.find("\u2013", at + 1))
        ++listed;
    EXPECT_EQ(listed, 20u);
    EXPECT_NE(text.find("   00:00:00\u201300:01:40 (100 s)\n"), std::string::npos);
    EXPECT_TRUE(text.ends_with("\n   00:31:50\u201300:33:20 (90 s)")) << text;
}

TEST(Diagnostics, CurrentContextReadsThisMachine) {
    auto current = currentDiagnosticsContext(WhisperModel::base);
    EXPECT_EQ(current.appSummary, AppInfo::summary());
    EXPECT_EQ(current.recommendedModel, WhisperModel::base);
    auto text = TranscriptManager::diagnostics(record(), {}, quiet(), current);
    EXPECT_TRUE(text.starts_with("Tallyvox diagnostics: Teams_Meeting_14-05.txt\n" +
                                 AppInfo::summary() + "\n"));
}

TEST(Diagnostics, BrokenFiguresNeverPrintGarbage) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    Diagnostics d = quiet();
    d.sessionSeconds = nan;
    d.pausedSeconds = -0.01;
    d.options.chunkSeconds = inf;
    CaptureStats capture;
    capture.lastSoundAt = SystemTime{};
    capture.receivedSeconds = nan;
    capture.droppedSeconds = -0.0;
    capture.maxBufferedSeconds = 1e300;
    capture.levelSum = nan;
    capture.callbacks = 2;
    d.meetingAudio = capture;
    d.mic = Diagnostics::Mic{inf, -3, nan};
    d.micDevice = "Headset\nMic";
    d.engine["x"] = EngineStats{nan, nan, -1, 0, inf, 0, 1e30, 0, 0, 0, 0, nan, 0, 0, ""};
    std::vector<TranscriptSegment> lines{line(nan, 5), line(inf, inf), line(-40, nan),
                                         line(10, 1e20)};

    auto text = report(d, lines);
    for (const char* garbage : {"nan", "inf", " -0", " -1", " -3", "(-", "000"})
        EXPECT_EQ(text.find(garbage), std::string::npos) << garbage << " in\n" << text;
    EXPECT_NE(text.find("Session: \u2013 (paused 0.0 s)"), std::string::npos);
    EXPECT_NE(text.find("max waiting \u2013\n"), std::string::npos);
    EXPECT_NE(text.find("The x queue reached \u2013 s:"), std::string::npos);
    EXPECT_NE(text.find("   mic device: Headset Mic \u00b7 restarted 0 times\n"),
              std::string::npos);
    EXPECT_NE(text.find("   received \u2013 of 0.0 s live session time (\u2013)\n"),
              std::string::npos);
    EXPECT_NE(text.find("   4 lines, 4 words, first 00:00:00, last 00:00:05\n"), std::string::npos);
    EXPECT_NE(text.find("   no gaps over 30 s between lines\n"), std::string::npos);
}

// A 49 s meeting whose recognition took five minutes was reported as having kept up, and
// the hint called a faster recommended model "more accurate".
TEST(Diagnostics, HintsSayWhichWayTheRecommendedModelIsAndWhenRecognitionFellBehind) {
    Diagnostics d = quiet();
    d.sessionSeconds = 49;
    d.options.model = WhisperModel::small;
    d.engine["meeting audio"] = EngineStats{49, 49, 40, 3, 300, 21, 20, 5, 0, 0, 0, 0, 0, 0, "en"};
    const DiagnosticsContext baseHere{"summary", true, WhisperModel::base};
    EXPECT_EQ(section(TranscriptManager::diagnostics(record(), {}, d, baseHere), "Hints"),
              "Hints\n   - Base is the recommended model on this computer: faster, so the text "
              "keeps up with the meeting. Settings \u203a Transcription.\n   - Recognition took "
              "321.0 s for 49.0 s of meeting (6.55\u00d7 real time): the computer was slower than "
              "the meeting, so the transcript was finished long after it ended. A faster model "
              "keeps up.\n");

    d.options.model = WhisperModel::tiny;
    d.engine["meeting audio"].whisperSeconds = 28; // with the labels, exactly real time
    EXPECT_EQ(section(TranscriptManager::diagnostics(record(), {}, d, baseHere), "Hints"),
              "Hints\n   - Base is the recommended model on this computer: more accurate, and it "
              "skips fewer sentences. Settings \u203a Transcription.\n");
}
