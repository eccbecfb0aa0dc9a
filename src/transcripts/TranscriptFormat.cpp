#include "transcripts/TranscriptFormat.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace tallyvox::TranscriptFormat {

namespace {
// Whole units of a non-negative count; NaN and negatives give 0, absurdly large values are
// held below the integer range instead of overflowing.
std::int64_t wholeUnits(double value) {
    if (!(value > 0))
        return 0;
    return static_cast<std::int64_t>(std::min(value, 9.0e15));
}
} // namespace

std::string timestamp(double seconds) {
    std::int64_t total = wholeUnits(std::trunc(seconds));
    char text[48];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(total / 3600),
                  static_cast<long long>(total / 60 % 60), static_cast<long long>(total % 60));
    return text;
}

std::string srtTimestamp(double seconds) {
    std::int64_t ms = wholeUnits(std::round(seconds * 1000));
    char text[56];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld,%03lld",
                  static_cast<long long>(ms / 3600000), static_cast<long long>(ms / 60000 % 60),
                  static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
    return text;
}

namespace {
// Byte length of the line break starting at `i`, or 0.
size_t lineBreakAt(std::string_view text, size_t i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n' || c == '\v' || c == '\f' || c == '\r')
        return 1;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x85)
        return 2; // U+0085
    if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80) {
        unsigned char d = static_cast<unsigned char>(text[i + 2]);
        if (d == 0xA8 || d == 0xA9)
            return 3; // U+2028, U+2029
    }
    return 0;
}
} // namespace

std::string oneLine(std::string_view text) {
    std::string out;
    std::string piece;
    auto flush = [&] {
        if (piece.empty())
            return;
        if (!out.empty())
            out += ' ';
        out += piece;
        piece.clear();
    };
    for (size_t i = 0; i < text.size();) {
        if (size_t n = lineBreakAt(text, i)) {
            flush();
            i += n;
        } else {
            piece += text[i++];
        }
    }
    flush();
    return out;
}

} // namespace tallyvox::TranscriptFormat
