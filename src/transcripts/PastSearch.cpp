#include "transcripts/PastSearch.h"

#include "base/Utf8.h"
#include "transcripts/PastSearchScan.h"

namespace tallyvox::PastSearch {

namespace {

bool isSpace(char32_t c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D) || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

} // namespace

std::vector<std::string> terms(std::string_view query) {
    std::vector<std::string> out;
    std::string piece;
    for (std::size_t i = 0; i < query.size();) {
        const auto c = Utf8::decode(query, i);
        if (c.valid && isSpace(c.value)) {
            if (!piece.empty())
                out.push_back(std::move(piece));
            piece.clear();
        } else {
            piece.append(query.substr(i, c.length));
        }
        i += c.length;
    }
    if (!piece.empty())
        out.push_back(std::move(piece));
    return out;
}

std::string summary(std::size_t hitCount) {
    if (hitCount == 0)
        return {};
    if (hitCount >= static_cast<std::size_t>(maxHits))
        return "First " + std::to_string(hitCount) + " matches";
    return std::to_string(hitCount) + (hitCount == 1 ? " match" : " matches");
}

std::vector<PastHit> search(std::string_view text, const std::filesystem::path& file,
                            const std::vector<std::string>& terms, int limit,
                            std::stop_token stop) {
    Scan::Buffers buffers;
    return Scan::search(text, file, Scan::prepared(terms), limit, stop, buffers);
}

} // namespace tallyvox::PastSearch
