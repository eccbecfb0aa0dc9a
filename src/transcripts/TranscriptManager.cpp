#include "transcripts/TranscriptManager.h"

#include "base/AtomicFile.h"
#include "base/BoundedRead.h"
#include "base/Log.h"
#include "base/XdgPaths.h"
#include "transcripts/DateText.h"
#include "transcripts/TranscriptFormat.h"

#include <algorithm>
#include <regex>

namespace tallyvox::TranscriptManager {

namespace fs = std::filesystem;

fs::path defaultRoot() {
    return XdgPaths::transcriptsRoot();
}

bool pathExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

fs::path filePath(const fs::path& root, Platform platform, SystemTime start,
                  const ExistsTest& exists) {
    fs::path folder = root / DateText::format(start, "yyyy") / DateText::format(start, "MMMM") /
                      DateText::format(start, "dd-MM-yy");
    std::string base =
        std::string(rawValue(platform)) + "_Meeting_" + DateText::format(start, "HH-mm");
    fs::path candidate = folder / (base + ".txt");
    for (int n = 2; exists(candidate); ++n)
        candidate = folder / (base + "_" + std::to_string(n) + ".txt");
    return candidate;
}

std::vector<std::pair<std::string, std::string>> header(const TranscriptRecord& record) {
    std::vector<std::pair<std::string, std::string>> pairs = {
        {"Meeting", record.title()},
        {"Platform", record.platformName()},
        {"Date", DateText::format(record.startedAt, "d MMMM y")},
        {"Start", DateText::format(record.startedAt, "h:mm a")},
    };
    if (record.endedAt)
        pairs.emplace_back("End", DateText::format(*record.endedAt, "h:mm a"));
    if (record.automaticConsent)
        pairs.emplace_back("Consent",
                           "Automatic transcription (standing consent given by user on " +
                               DateText::format(record.consentAt, "d MMMM y") + ")");
    else
        pairs.emplace_back("Consent",
                           "Confirmed by user at " + DateText::format(record.consentAt, "h:mm a"));
    if (record.wordFixes > 0)
        pairs.emplace_back("Edited", std::to_string(record.wordFixes) + " word fix" +
                                         (record.wordFixes == 1 ? "" : "es") + " by the user");
    return pairs;
}

std::vector<Block> blocks(const std::vector<TranscriptSegment>& segments) {
    std::vector<Block> result;
    for (const auto& segment : segments) {
        if (segment.speaker && !result.empty() && result.back().speaker == segment.speaker) {
            result.back().text += ' ';
            result.back().text += segment.text;
        } else {
            result.push_back({segment.start, segment.speaker, segment.text});
        }
    }
    return result;
}

namespace {

// "[00:00:04] Sam:" or "[00:00:04]".
std::string blockHeading(const Block& block, const SpeakerName& name) {
    std::string heading = TranscriptFormat::bracketedTimestamp(block.start);
    if (block.speaker) {
        heading += ' ';
        heading += TranscriptFormat::oneLine(name(*block.speaker));
        heading += ':';
    }
    return heading;
}

// "[00:00:04] Sam:" of a turn read from a file.
std::string turnHeading(const TranscriptReader::Turn& turn) {
    std::string heading = TranscriptFormat::bracketedTimestamp(turn.start);
    if (turn.speaker) {
        heading += ' ';
        heading += TranscriptFormat::oneLine(*turn.speaker);
        heading += ':';
    }
    return heading;
}

std::string headerText(const TranscriptRecord& record) {
    std::string out;
    for (const auto& [label, value] : header(record))
        out.append(label).append(": ").append(value).append("\n");
    return out;
}

// Far more than a header and an explanation; a bigger file is not an empty session's.
constexpr std::uint64_t largestNoteFile = 16ull * 1024 * 1024;

// What the transcript file already says instead of turns, if it is one.
std::string savedNote(const fs::path& file) {
    if (file.empty())
        return {};
    // A link planted at the transcript's name is replaced by the write, never read.
    auto bytes = tryReadFileBounded(file, largestNoteFile, Links::refuse);
    if (!bytes)
        return {};
    auto parsed = TranscriptReader::parse(*bytes);
    return parsed ? parsed->note : std::string();
}

} // namespace

std::string text(const TranscriptRecord& record, const std::vector<TranscriptSegment>& segments,
                 const SpeakerName& name) {
    std::string out = headerText(record);
    if (segments.empty()) {
        if (auto note = savedNote(record.filePath); !note.empty())
            out.append("\n").append(note).append("\n");
        return out;
    }
    for (const auto& block : blocks(segments))
        out.append("\n")
            .append(blockHeading(block, name))
            .append("\n")
            .append(block.text)
            .append("\n");
    return out;
}

TranscriptReader::Parsed contents(const TranscriptRecord& record,
                                  const std::vector<TranscriptSegment>& segments,
                                  const SpeakerName& name) {
    TranscriptReader::Parsed out;
    out.header = header(record);
    for (auto& block : blocks(segments))
        out.turns.push_back(
            {.start = block.start,
             .speaker = block.speaker ? std::optional(name(*block.speaker)) : std::nullopt,
             .text = std::move(block.text)});
    return out;
}

std::string markdown(const TranscriptRecord& record, const std::vector<TranscriptSegment>& segments,
                     const SpeakerName& name) {
    return markdown(contents(record, segments, name));
}

std::string markdown(const TranscriptReader::Parsed& transcript) {
    const auto& pairs = transcript.header;
    std::string out = "# " +
                      (pairs.empty() ? std::string() : TranscriptFormat::oneLine(pairs[0].second)) +
                      "\n\n";
    for (size_t i = 1; i < pairs.size(); ++i)
        out += "**" + pairs[i].first + ":** " + pairs[i].second + "  \n";
    if (!transcript.note.empty())
        out.append("\n").append(transcript.note).append("\n");
    for (const auto& turn : transcript.turns)
        out.append("\n**").append(turnHeading(turn)).append("** ").append(turn.text).append("\n");
    return out;
}

std::string srt(const std::vector<TranscriptSegment>& segments, const SpeakerName& name) {
    std::string out;
    int number = 0;
    for (const auto& segment : segments) {
        if (number > 0)
            out += "\n";
        double end = segment.end > segment.start + 0.5 ? segment.end : segment.start + 0.5;
        out += std::to_string(++number) + "\n";
        out += TranscriptFormat::srtTimestamp(segment.start) + " --> " +
               TranscriptFormat::srtTimestamp(end) + "\n";
        if (segment.speaker)
            out += TranscriptFormat::oneLine(name(*segment.speaker)) + ": ";
        out += segment.text + "\n";
    }
    return out;
}

std::string srt(const std::vector<TranscriptReader::Turn>& turns) {
    std::vector<TranscriptSegment> cues;
    std::vector<std::string> names;
    for (std::size_t k = 0; k < turns.size(); ++k) {
        TranscriptSegment cue;
        cue.start = turns[k].start;
        cue.end = k + 1 < turns.size() ? turns[k + 1].start : cue.start;
        cue.text = turns[k].text;
        if (turns[k].speaker) {
            cue.speaker = static_cast<int>(names.size());
            names.push_back(*turns[k].speaker);
        }
        cues.push_back(std::move(cue));
    }
    return srt(cues, [&](int speaker) { return names[static_cast<std::size_t>(speaker)]; });
}

std::string emptySessionText(const TranscriptRecord& record, bool soundReceived) {
    return emptySessionText(record, soundReceived ? noWordsMessage : noSoundMessage);
}

std::string emptySessionText(const TranscriptRecord& record, std::string_view explanation) {
    return headerText(record) + "\n" + std::string(explanation) + "\n";
}

std::string modelNotLoadedMessage(std::string_view reason) {
    return "No speech was transcribed: the Whisper model could not be loaded, so the audio was "
           "never recognised. " +
           std::string(reason);
}

void write(std::string_view bytes, const fs::path& target) {
    writeFileAtomically(target, bytes);
}

bool isAppFile(std::string_view fileName) {
    static const std::regex pattern(
        R"((Zoom|Teams|Meet)_Meeting_\d{2}-\d{2}(_\d+)?(\.diagnostics)?\.(txt|md|srt|docx|pdf))");
    return std::regex_match(fileName.begin(), fileName.end(), pattern);
}

bool isCloudSynced(const fs::path& folder, const UbiquitousTest& ubiquitous) {
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(folder, ec);
    if (ec)
        resolved = folder;
    const std::string path = resolved.string();
    if (path.find("/Library/CloudStorage/") != std::string::npos ||
        path.find("/Library/Mobile Documents/") != std::string::npos)
        return true;
    // A sync folder that is itself a link (~/Dropbox -> /data/Dropbox) is known by its name.
    return ubiquitous(resolved) || (resolved != folder && ubiquitous(folder));
}

} // namespace tallyvox::TranscriptManager
