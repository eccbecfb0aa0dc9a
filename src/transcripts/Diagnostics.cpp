#include "transcripts/Diagnostics.h"

#include "settings/SettingsTable.h"
#include "transcripts/TranscriptFormat.h"
#include "types/ModelSpeed.h"
#include "types/TranscriptionSession.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

namespace tallyvox::TranscriptManager {

namespace {

constexpr std::string_view enDash = "\u2013";
constexpr size_t maxGapsListed = 20;
constexpr double gapThreshold = 30;

constexpr std::string_view speakersOutputLine =
    "   output: built-in speakers (the mic hears other people too)\n";
constexpr std::string_view micOffLine =
    "   mic: off (your own voice is only in the transcript when "
    "\"Include my microphone\" is on)\n";

constexpr std::string_view moreAccurateModelHint =
    " is the recommended model on this computer: more accurate, and it skips fewer sentences. "
    "Settings \u203a Transcription.";
constexpr std::string_view fasterModelHint =
    " is the recommended model on this computer: faster, so the text keeps up with the "
    "meeting. Settings \u203a Transcription.";
constexpr std::string_view fellBehindHint =
    ": the computer was slower than the meeting, so the transcript was finished long after "
    "it ended. A faster model keeps up.";
constexpr std::string_view longWindowHint =
    " s: long windows make Whisper skip sentences more often; ";
constexpr std::string_view shortCaptureHint =
    "Capture got less audio than the meeting lasted: check the audio-recording permission, and "
    "whether the meeting app restarted or changed audio device.";
constexpr std::string_view noSoundHint =
    "No sound ever reached the app: check that the meeting played sound on this computer and "
    "that the desktop's sound settings let Tallyvox record it.";
constexpr std::string_view droppedHint =
    "Audio was dropped because transcription couldn't keep up: choose a smaller model.";
constexpr std::string_view speakersHint =
    "Sound played from the computer's built-in speakers, so mic lines can be anyone. Use "
    "headphones for correct labels.";
constexpr std::string_view micSilentHint =
    "Your microphone gave no audio, so your own voice isn't in this transcript. Check that "
    "Tallyvox may use the microphone and the input device in the desktop's sound settings "
    "(some Bluetooth headsets give a second app nothing).";
constexpr std::string_view slowQueueHint =
    " s: the computer was slower than the meeting; a smaller model keeps text closer to live.";
constexpr std::string_view noTextHint =
    "Speech was detected but no text came out: likely a language or model problem.";

// Every figure here is a non-negative quantity of plausible size. A broken counter (NaN,
// infinity, or beyond any real session) shows as a dash and a negative one as 0, so the report
// never prints "nan", "-0.0" or hundreds of digits.
constexpr double largestFigure = 1e12;

bool usable(double value) {
    return std::isfinite(value) && std::fabs(value) <= largestFigure;
}

std::string fixed(double value, int decimals) {
    if (!usable(value))
        return std::string(enDash);
    if (!(value > 0))
        value = 0;
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string seconds(double value) {
    return usable(value) ? fixed(value, 1) + " s" : std::string(enDash);
}

std::string percent(double part, double whole) {
    if (!usable(whole) || !(whole > 0) || !usable(part))
        return std::string(enDash);
    double value = 100 * part / whole;
    return usable(value) ? fixed(value, 1) + "%" : std::string(enDash);
}

std::string truncated(double value) {
    return fixed(std::trunc(value), 0);
}

std::string clockTime(double value) {
    // Also keeps the formatter's conversion to a 64-bit integer from overflowing.
    if (!usable(value))
        return std::string(enDash);
    return TranscriptFormat::timestamp(value);
}

size_t countWords(const std::vector<const TranscriptSegment*>& lines) {
    size_t words = 0;
    for (const auto* line : lines) {
        bool inWord = false;
        for (char c : line->text) {
            if (c == ' ') {
                inWord = false;
            } else if (!inWord) {
                inWord = true;
                ++words;
            }
        }
    }
    return words;
}

// By start; lines whose start is NaN go last so the sort stays well defined.
std::vector<const TranscriptSegment*>
sortedByStart(const std::vector<TranscriptSegment>& segments) {
    std::vector<const TranscriptSegment*> lines;
    lines.reserve(segments.size());
    for (const auto& segment : segments)
        lines.push_back(&segment);
    std::stable_sort(lines.begin(), lines.end(), [](const auto* a, const auto* b) {
        if (std::isnan(a->start))
            return false;
        if (std::isnan(b->start))
            return true;
        return a->start < b->start;
    });
    return lines;
}

std::vector<std::string> gapTexts(const std::vector<const TranscriptSegment*>& lines) {
    std::vector<std::string> gaps;
    double runningEnd = 0;
    for (const auto* line : lines) {
        if (!usable(line->start))
            continue;
        double gap = line->start - runningEnd;
        if (gap > gapThreshold) {
            gaps.push_back("   " + clockTime(runningEnd) + std::string(enDash) +
                           clockTime(line->start) + " (" + truncated(gap) + " s)");
            if (gaps.size() == maxGapsListed)
                break;
        }
        if (usable(line->end))
            runningEnd = std::max(runningEnd, line->end);
    }
    return gaps;
}

void appendCapture(std::string& out, const CaptureStats& stats, double live) {
    out += "\n1. Capture (meeting audio)\n";
    out += "   received " + seconds(stats.receivedSeconds) + " of " + seconds(live) +
           " live session time (" + percent(stats.receivedSeconds, live) + ")\n";
    out += "   format " + (stats.format.empty() ? std::string("unknown") : stats.format) +
           " \u00b7 average level " + fixed(stats.averageLevel(), 4) +
           " \u00b7 buffers per callback " + std::to_string(stats.buffersInCallback) + "\n";
    out += "   dropped because transcription fell behind: " + seconds(stats.droppedSeconds) + " (" +
           std::to_string(stats.overflowEvents) + " times) \u00b7 max waiting " +
           seconds(stats.maxBufferedSeconds) + "\n";
}

void appendMic(std::string& out, const Diagnostics& figures, double live) {
    if (!figures.mic) {
        out += micOffLine;
        return;
    }
    const auto& mic = *figures.mic;
    // The description comes from the sound server; keep it from breaking the report's lines.
    if (figures.micDevice)
        out += "   mic device: " + TranscriptFormat::oneLine(*figures.micDevice) +
               " \u00b7 restarted " + std::to_string(figures.micRestarts) + " times\n";
    out += "   mic: received " + seconds(mic.received) + " (" + percent(mic.received, live) +
           ") \u00b7 dropped " + seconds(mic.dropped) + " \u00b7 ignored while muted " +
           seconds(mic.ignored) + " \u00b7 meeting mute button " +
           (figures.muteWatched ? "watched" : "not watched") + "\n";
}

void appendChannel(std::string& out, const std::string& name, const EngineStats& stats,
                   const EngineOptions& options) {
    double realTime = stats.whisperSeconds / std::fmax(stats.processedSeconds, 1.0);
    const std::string& language = stats.language.empty() ? options.language : stats.language;
    out += "\n2. Transcription (" + name + ")\n";
    out += "   processed " + seconds(stats.processedSeconds) + " of " +
           seconds(stats.receivedSeconds) + " received (" +
           percent(stats.processedSeconds, stats.receivedSeconds) + ")\n";
    out += "   speech found by VAD " + seconds(stats.speechSeconds) + " \u00b7 windows " +
           std::to_string(stats.windows) + " \u00b7 max queue " + seconds(stats.maxPendingSeconds) +
           "\n";
    out += "   Whisper time " + seconds(stats.whisperSeconds) + " (" + fixed(realTime, 2) +
           "\u00d7 real time) \u00b7 speaker labels " + seconds(stats.speakerSeconds) + "\n";
    out += "   lines " + std::to_string(stats.segments) + " \u00b7 repeated words trimmed " +
           std::to_string(stats.wordsTrimmedAsRepeats) + " \u00b7 echo lines dropped " +
           std::to_string(stats.echoDropped) + " \u00b7 made-up lines dropped " +
           std::to_string(stats.phantomDropped) + " \u00b7 skipped speech heard again " +
           std::to_string(stats.holesFilled) + " times (" + seconds(stats.holeSeconds) +
           ") \u00b7 language " + language + " (" + std::to_string(stats.languageSwitches) +
           " switches)\n";
}

void appendTranscript(std::string& out, const std::vector<TranscriptSegment>& segments) {
    auto lines = sortedByStart(segments);
    std::string first = lines.empty() ? std::string(enDash) : clockTime(lines.front()->start);
    std::string last = lines.empty() ? std::string(enDash) : clockTime(lines.back()->end);
    out += "\n3. Transcript\n";
    out += "   " + std::to_string(lines.size()) + " lines, " + std::to_string(countWords(lines)) +
           " words, first " + first + ", last " + last + "\n";

    auto gaps = gapTexts(lines);
    if (gaps.empty()) {
        out += "   no gaps over 30 s between lines\n";
        return;
    }
    out += "   gaps over 30 s (silence, or lost speech if people were talking):\n";
    for (const auto& gap : gaps)
        out += gap + "\n";
}

std::string joinedHints(const std::vector<std::string>& hints) {
    if (hints.empty())
        return "   none: capture and transcription kept up.\n";
    std::string out;
    for (const auto& hint : hints)
        out += "   - " + hint + "\n";
    return out;
}

} // namespace

std::string diagnostics(const TranscriptRecord& record,
                        const std::vector<TranscriptSegment>& segments, const Diagnostics& figures,
                        const DiagnosticsContext& context) {
    const auto& options = figures.options;
    double live = figures.sessionSeconds - figures.pausedSeconds;
    if (!usable(live) || !(live > 0))
        live = 0;
    std::vector<std::string> hints;

    std::string out = "Tallyvox diagnostics: " + record.filePath.filename().string() + "\n";
    out += context.appSummary + "\n";
    out += "No audio is stored. These numbers show where words could have been lost.\n\n";
    out += "Session: " + clockTime(figures.sessionSeconds) + " (paused " +
           seconds(figures.pausedSeconds) + ")\n";
    out += "Model: " + std::string(options.model.title()) + " \u00b7 language " + options.language +
           " \u00b7 window " + truncated(options.chunkSeconds) + " s \u00b7 VAD " +
           (context.vadDownloaded ? "on" : "off") + " \u00b7 speakers " +
           (options.diarize ? "on" : "off") + "\n";
    if (!figures.device.empty())
        out += "Device: " + figures.device + "\n";

    if (options.model != context.recommendedModel) {
        const auto& order = ModelSpeed::byAccuracy();
        const bool moreAccurate = std::find(order.begin(), order.end(), context.recommendedModel) <
                                  std::find(order.begin(), order.end(), options.model);
        hints.push_back(std::string(context.recommendedModel.title()) +
                        std::string(moreAccurate ? moreAccurateModelHint : fasterModelHint));
    }
    // The default window is the one measured best; longer ones are worth a hint.
    const double bestChunk =
        *SettingsTable::fallback(SettingsManager::Key::chunkSeconds).realValue();
    if (options.chunkSeconds > bestChunk)
        hints.push_back("Text updates every " + truncated(options.chunkSeconds) +
                        std::string(longWindowHint) + truncated(bestChunk) + " s measured best.");

    if (const auto& stats = figures.meetingAudio) {
        appendCapture(out, *stats, live);
        if (stats->receivedSeconds < 0.9 * live)
            hints.emplace_back(shortCaptureHint);
        if (!stats->lastSoundAt)
            hints.emplace_back(noSoundHint);
        if (stats->droppedSeconds > 0)
            hints.emplace_back(droppedHint);
    }

    if (figures.outputIsSpeakers)
        out += speakersOutputLine;
    appendMic(out, figures, live);
    if (figures.mic) {
        if (figures.outputIsSpeakers)
            hints.emplace_back(speakersHint);
        if (TranscriptionSession::micSilent(figures.mic->received, figures.mic->ignored, live))
            hints.emplace_back(micSilentHint);
    }

    // The channels take turns on one recogniser, so their times add up.
    double recognition = 0;
    for (const auto& [name, stats] : figures.engine)
        if (usable(stats.whisperSeconds + stats.speakerSeconds))
            recognition += stats.whisperSeconds + stats.speakerSeconds;
    if (live > 0 && recognition > live)
        hints.push_back("Recognition took " + seconds(recognition) + " for " + seconds(live) +
                        " of meeting (" + fixed(recognition / live, 2) + "\u00d7 real time)" +
                        std::string(fellBehindHint));

    for (const auto& [name, stats] : figures.engine) {
        appendChannel(out, name, stats, options);
        if (stats.maxPendingSeconds > 60)
            hints.push_back("The " + name + " queue reached " + truncated(stats.maxPendingSeconds) +
                            std::string(slowQueueHint));
        if (stats.speechSeconds > 30 && stats.segments == 0)
            hints.emplace_back(noTextHint);
    }

    appendTranscript(out, segments);
    out += "\nHints\n" + joinedHints(hints);
    return out;
}

} // namespace tallyvox::TranscriptManager
