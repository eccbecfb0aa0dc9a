#pragma once

#include "transcripts/TranscriptManager.h"
#include "transcripts/TranscriptRecord.h"
#include "types/TranscriptSegment.h"

#include <string>
#include <vector>

// The Word and PDF exports: one styled text, built from the same header and speaker turns as
// the transcript file, written out as Office Open XML or as A4 pages.
namespace tallyvox::TranscriptDocument {

struct Paragraph {
    std::string text; // valid UTF-8 without characters XML cannot hold; '\n' breaks a line
    std::string family = "Helvetica";
    double size = 12; // points
    bool bold = false;
    double spacingAfter = 0; // points

    bool operator==(const Paragraph&) const = default;
};

// A4 in points, and the margin on every side.
inline constexpr double pageWidth = 595;
inline constexpr double pageHeight = 842;
inline constexpr double margin = 54;

// The title, the header lines but the first, then a heading and the text of every turn.
// `name` is asked only for turns that have a speaker.
std::vector<Paragraph> attributed(const TranscriptRecord& record,
                                  const std::vector<TranscriptSegment>& segments,
                                  const TranscriptManager::SpeakerName& name);
// The same from a transcript as read: its header lines as they stand, and what the file says
// before its first turn as a paragraph of its own.
std::vector<Paragraph> attributed(const TranscriptReader::Parsed& transcript);

// The bytes of a .docx file. Throws Error when the archive cannot be built.
std::string word(const TranscriptRecord& record, const std::vector<TranscriptSegment>& segments,
                 const TranscriptManager::SpeakerName& name);
std::string word(const std::vector<Paragraph>& paragraphs);

// The bytes of a PDF of A4 pages, the text flowing from page to page between the margins.
// Fonts are asked for by family and weight; the system's fontconfig picks what it has, and
// characters that font lacks come from another one that has them. Throws Error when no PDF
// can be drawn.
std::string pdf(const TranscriptRecord& record, const std::vector<TranscriptSegment>& segments,
                const TranscriptManager::SpeakerName& name);
std::string pdf(const std::vector<Paragraph>& paragraphs);
// How many pages pdf() fills with these paragraphs.
int pageCount(const std::vector<Paragraph>& paragraphs);

// The text as an XML document may hold it: broken UTF-8 repaired, every kind of line break
// as '\n', characters XML 1.0 forbids (most control characters, U+FFFE, U+FFFF) dropped.
std::string cleaned(std::string_view text);

// Whether text reads right to left: its first character of strong direction is Arabic,
// Hebrew or another right-to-left script. This is how Pango sets each paragraph of the PDF.
bool rightToLeft(std::string_view text);

} // namespace tallyvox::TranscriptDocument
