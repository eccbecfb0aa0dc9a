#include "transcripts/TranscriptExport.h"

#include "base/Error.h"
#include "transcripts/TranscriptDocument.h"

#include <set>

namespace tallyvox::TranscriptExport {

std::string render(ExportFormat format, const TranscriptRecord& record,
                   const std::vector<TranscriptSegment>& segments,
                   const TranscriptManager::SpeakerName& name) {
    switch (format) {
    case ExportFormat::markdown:
        return TranscriptManager::markdown(record, segments, name);
    case ExportFormat::srt:
        return TranscriptManager::srt(segments, name);
    case ExportFormat::word:
        return TranscriptDocument::word(record, segments, name);
    case ExportFormat::pdf:
        return TranscriptDocument::pdf(record, segments, name);
    }
    throw Error("Unknown export format.");
}

std::string render(ExportFormat format, const TranscriptReader::Parsed& transcript) {
    switch (format) {
    case ExportFormat::markdown:
        return TranscriptManager::markdown(transcript);
    case ExportFormat::srt:
        return TranscriptManager::srt(transcript.turns);
    case ExportFormat::word:
        return TranscriptDocument::word(TranscriptDocument::attributed(transcript));
    case ExportFormat::pdf:
        return TranscriptDocument::pdf(TranscriptDocument::attributed(transcript));
    }
    throw Error("Unknown export format.");
}

std::optional<std::string> leftOut(ExportFormat format,
                                   const TranscriptReader::Parsed& transcript) {
    // Subtitles are cues and nothing else; every other format holds the whole file.
    if (format != ExportFormat::srt)
        return std::nullopt;
    static const std::set<std::string, std::less<>> ownLabels = {
        "Meeting", "Platform", "Date", "Start", "End", "Consent", "Edited"};
    std::vector<std::string> pieces;
    if (!transcript.note.empty())
        pieces.emplace_back("the text before the first turn");
    std::vector<std::string> labels;
    for (const auto& [label, value] : transcript.header)
        if (!ownLabels.contains(label))
            labels.push_back("\"" + label + "\"");
    if (!labels.empty()) {
        std::string piece = labels.size() == 1 ? "the header line" : "the header lines";
        for (std::size_t i = 0; i < labels.size(); ++i)
            piece += (i == 0 ? " " : ", ") + labels[i];
        pieces.push_back(std::move(piece));
    }
    if (pieces.empty())
        return std::nullopt;
    std::string text = "Subtitles hold only the speaker turns; left out: ";
    for (std::size_t i = 0; i < pieces.size(); ++i)
        text += (i == 0 ? "" : "; ") + pieces[i];
    text += ".";
    return text;
}

} // namespace tallyvox::TranscriptExport
