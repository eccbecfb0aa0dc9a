#include "transcripts/PastSearchScan.h"

#include "base/Unicode.h"
#include "base/Utf8.h"
#include "transcripts/TranscriptSearch.h"
#include "transcripts/TranscriptTurns.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace tallyvox::PastSearch::Scan {

namespace fs = std::filesystem;

namespace {

bool contains(std::string_view haystack, std::string_view needle) {
    if (needle.empty())
        return true;
    // An empty view may have no storage at all, and memmem must not be given a null pointer.
    if (haystack.size() < needle.size())
        return false;
    return ::memmem(haystack.data(), haystack.size(), needle.data(), needle.size()) != nullptr;
}

// The text of a transcript file as it is searched: without a byte-order mark, broken
// sequences as U+FFFD, composed; and that text case-folded into `buffers.folded`.
std::string_view preparedText(std::string_view bytes, Buffers& buffers) {
    std::string_view text = TranscriptTurns::withoutByteOrderMark(bytes);
    bool isComposed = true;
    if (!Unicode::caseFoldInto(text, buffers.folded, &isComposed)) {
        // Broken UTF-8 (a file cut short, or written by something else): read with each
        // broken sequence as U+FFFD, so hits are always valid text.
        buffers.repaired = Utf8::repaired(text);
        text = buffers.repaired;
        Unicode::caseFoldInto(text, buffers.folded, &isComposed);
    }
    if (!isComposed) {
        buffers.composed = Unicode::composed(text);
        text = buffers.composed;
        Unicode::caseFoldInto(text, buffers.folded);
    }
    return text;
}

// The work of one file, given its text and that text case-folded line for line.
std::vector<PastHit> searchFolded(std::string_view text, std::string_view folded,
                                  const fs::path& file, const Terms& searched, int limit,
                                  const std::stop_token& stop) {
    const auto& terms = searched.exact;
    const auto& foldedTerms = searched.folded;
    std::vector<PastHit> hits;
    if (limit <= 0)
        return hits;
    // One scan rejects most files: a word that is nowhere in the text is in no turn.
    for (const auto& term : foldedTerms)
        if (!contains(folded, term))
            return hits;

    std::string meeting = file.stem().string(), date;
    const std::string path = file.string();
    std::optional<TranscriptTurns::Heading> current;
    std::string_view currentFoldedSpeaker;
    std::vector<std::string_view> lines, foldedLines;

    // The folded comparison may admit a match the exact rules refuse (part of a character
    // that folds into several), never the other way round; turns with such a character are
    // checked again by the exact rules.
    auto endTurn = [&] {
        if (!current)
            return;
        for (const auto& term : foldedTerms) {
            bool found = contains(currentFoldedSpeaker, term);
            for (std::size_t k = 0; !found && k < foldedLines.size(); ++k)
                found = contains(foldedLines[k], term);
            if (!found)
                return;
        }
        const std::string_view speaker = current->speaker.value_or(std::string_view());
        if (Unicode::foldsIntoSeveral(speaker) ||
            std::any_of(lines.begin(), lines.end(), Unicode::foldsIntoSeveral)) {
            // Terms hold no white space, so a term is in the turn when it is in the name or
            // in one of its lines.
            for (const auto& term : terms) {
                bool found = TranscriptSearch::hits(speaker, term) > 0;
                for (std::size_t k = 0; !found && k < lines.size(); ++k)
                    found = TranscriptSearch::hits(lines[k], term) > 0;
                if (!found)
                    return;
            }
        }
        std::string joined;
        for (auto line : lines) {
            if (!joined.empty())
                joined += ' ';
            joined += line;
        }
        std::string id = path;
        id += '#';
        id += std::to_string(hits.size());
        hits.push_back(PastHit{.id = std::move(id),
                               .file = file,
                               .meeting = meeting,
                               .date = date,
                               .time = std::string(current->time),
                               .speaker = std::string(speaker),
                               .text = std::move(joined)});
    };

    TranscriptTurns::Lines textLines(text), foldedTextLines(folded);
    std::string_view line, foldedLine;
    std::size_t lineCount = 0;
    // Case folding keeps every line feed and carriage return, so the lines pair up.
    while (textLines.next(line) && foldedTextLines.next(foldedLine)) {
        if ((++lineCount & 255) == 0 && stop.stop_requested())
            return hits;

        if (auto header = TranscriptTurns::heading(line)) {
            endTurn();
            if (static_cast<int>(hits.size()) >= limit)
                return hits;
            current = header;
            // The bracketed time is ASCII, so the name starts at the same byte in both.
            currentFoldedSpeaker =
                !header->speaker || header->speaker->empty()
                    ? std::string_view()
                    : foldedLine.substr(header->speakerAt,
                                        foldedLine.size() - header->speakerAt - 1);
            lines.clear();
            foldedLines.clear();
        } else if (!current) {
            if (line.starts_with("Meeting: "))
                meeting = line.substr(9);
            else if (line.starts_with("Date: "))
                date = line.substr(6);
        } else if (!line.empty()) {
            lines.push_back(line);
            foldedLines.push_back(foldedLine);
        }
    }
    endTurn();
    if (static_cast<int>(hits.size()) > limit)
        hits.resize(static_cast<std::size_t>(limit));
    return hits;
}

} // namespace

Terms prepared(const std::vector<std::string>& terms) {
    Terms out;
    for (const auto& term : terms) {
        out.exact.push_back(Unicode::composed(Utf8::repaired(term)));
        Unicode::caseFoldInto(out.exact.back(), out.folded.emplace_back());
    }
    return out;
}

std::vector<PastHit> search(std::string_view bytes, const fs::path& file, const Terms& terms,
                            int limit, const std::stop_token& stop, Buffers& buffers) {
    const std::string_view text = preparedText(bytes, buffers);
    return searchFolded(text, buffers.folded, file, terms, limit, stop);
}

} // namespace tallyvox::PastSearch::Scan
