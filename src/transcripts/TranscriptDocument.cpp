#include "transcripts/TranscriptDocument.h"

#include "base/Utf8.h"
#include "transcripts/TranscriptFormat.h"

#include <utf8proc.h>

namespace tallyvox::TranscriptDocument {

std::string cleaned(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        Utf8::Char c = Utf8::decode(text, i);
        const std::size_t at = i;
        i += c.length;
        if (!c.valid) {
            Utf8::append(0xFFFD, out);
            continue;
        }
        switch (c.value) {
        case U'\r':
            if (i < text.size() && text[i] == '\n')
                ++i;
            out += '\n';
            continue;
        case U'\n':
        case U'\v':
        case U'\f':
        case 0x85:
        case 0x2028:
        case 0x2029:
            out += '\n';
            continue;
        case U'\t':
            out += '\t';
            continue;
        case 0xFFFE:
        case 0xFFFF:
            continue;
        default:
            if (c.value < 0x20)
                continue;
            out.append(text.substr(at, c.length));
        }
    }
    return out;
}

bool rightToLeft(std::string_view text) {
    // Pango's rule for a paragraph's base direction, on the same Unicode data.
    for (std::size_t i = 0; i < text.size();) {
        const Utf8::Char c = Utf8::decode(text, i);
        i += c.length;
        if (!c.valid || c.value > 0x10FFFF)
            continue;
        switch (utf8proc_get_property(static_cast<utf8proc_int32_t>(c.value))->bidi_class) {
        case UTF8PROC_BIDI_CLASS_L:
            return false;
        case UTF8PROC_BIDI_CLASS_R:
        case UTF8PROC_BIDI_CLASS_AL:
            return true;
        default:
            break;
        }
    }
    return false;
}

std::vector<Paragraph> attributed(const TranscriptRecord& record,
                                  const std::vector<TranscriptSegment>& segments,
                                  const TranscriptManager::SpeakerName& name) {
    return attributed(TranscriptManager::contents(record, segments, name));
}

std::vector<Paragraph> attributed(const TranscriptReader::Parsed& transcript) {
    std::vector<Paragraph> paragraphs;
    auto add = [&](std::string_view text, double size, bool bold, double spacingAfter) {
        paragraphs.push_back({.text = cleaned(text),
                              .family = "Helvetica",
                              .size = size,
                              .bold = bold,
                              .spacingAfter = spacingAfter});
    };
    const auto& header = transcript.header;
    add(header.empty() ? std::string() : TranscriptFormat::oneLine(header[0].second), 20, true, 8);
    for (std::size_t i = 1; i < header.size(); ++i)
        add(header[i].first + ": " + header[i].second, 10, false, i + 1 == header.size() ? 14 : 1);
    if (!transcript.note.empty())
        add(transcript.note, 12, false, 10);
    for (const auto& turn : transcript.turns) {
        std::string heading = TranscriptFormat::bracketedTimestamp(turn.start);
        if (turn.speaker) {
            heading += ' ';
            heading += TranscriptFormat::oneLine(*turn.speaker);
        }
        add(heading, 10, true, 2);
        add(turn.text, 12, false, 10);
    }
    return paragraphs;
}

std::string word(const TranscriptRecord& record, const std::vector<TranscriptSegment>& segments,
                 const TranscriptManager::SpeakerName& name) {
    return word(attributed(record, segments, name));
}

std::string pdf(const TranscriptRecord& record, const std::vector<TranscriptSegment>& segments,
                const TranscriptManager::SpeakerName& name) {
    return pdf(attributed(record, segments, name));
}

} // namespace tallyvox::TranscriptDocument
