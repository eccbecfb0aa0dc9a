#pragma once

#include "transcripts/PastSearch.h"

#include <filesystem>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

// The search of one transcript's text, shared by PastSearch::search and the search of a
// whole folder.
namespace tallyvox::PastSearch::Scan {

// The terms as the text they are looked for in (valid and composed), and case-folded.
struct Terms {
    std::vector<std::string> exact;
    std::vector<std::string> folded;
};
Terms prepared(const std::vector<std::string>& terms);

// What one reader thread keeps between files, so that each file costs no new allocation.
struct Buffers {
    std::string bytes;
    std::string repaired;
    std::string composed;
    std::string folded;
};

// The hits of one transcript file's bytes, at most `limit`, in file order.
std::vector<PastHit> search(std::string_view bytes, const std::filesystem::path& file,
                            const Terms& terms, int limit, const std::stop_token& stop,
                            Buffers& buffers);

} // namespace tallyvox::PastSearch::Scan
