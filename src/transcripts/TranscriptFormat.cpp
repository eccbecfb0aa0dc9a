#include "transcripts/TranscriptFormat.h"

#include "base/TextLines.h"

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

std::string bracketedTimestamp(double seconds) {
    // Appended, not `"[" + std::string`: GCC 12 at -O3 warns about an overlapping copy
    // inside that operator that cannot happen (GCC bug 105329).
    std::string text = "[";
    text += timestamp(seconds);
    text += ']';
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

std::string oneLine(std::string_view text) {
    return TextLines::oneLine(text);
}

} // namespace tallyvox::TranscriptFormat
