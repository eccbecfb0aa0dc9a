#include "transcripts/TranscriptDocument.h"

#include "base/Utf8.h"
#include "transcripts/TranscriptFormat.h"

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

std::vector<Paragraph> attributed(const TranscriptRecord& record,
                                  const std::vector<TranscriptSegment>& segments,
                                  const TranscriptManager::SpeakerName& name) {
    std::vector<Paragraph> paragraphs;
    auto add = [&](std::string_view text, double size, bool bold, double spacingAfter) {
        paragraphs.push_back({.text = cleaned(text),
                              .family = "Helvetica",
                              .size = size,
                              .bold = bold,
                              .spacingAfter = spacingAfter});
    };
    add(record.title(), 20, true, 8);
    const auto header = TranscriptManager::header(record);
    for (std::size_t i = 1; i < header.size(); ++i)
        add(header[i].first + ": " + header[i].second, 10, false, i + 1 == header.size() ? 14 : 1);
    for (const auto& block : TranscriptManager::blocks(segments)) {
        std::string heading = TranscriptFormat::bracketedTimestamp(block.start);
        if (block.speaker) {
            heading += ' ';
            heading += TranscriptFormat::oneLine(name(*block.speaker));
        }
        add(heading, 10, true, 2);
        add(block.text, 12, false, 10);
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
