#include "transcripts/DateText.h"

#include <array>
#include <ctime>
#include <stdexcept>

namespace tallyvox::DateText {

namespace {

constexpr std::array<std::string_view, 12> monthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

std::string padded(long long value, size_t width) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (digits.size() < width)
        digits.insert(0, width - digits.size(), '0');
    return value < 0 ? "-" + digits : digits;
}

bool isPatternLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void appendField(std::string& out, char letter, size_t count, const std::tm& tm) {
    const long long year = tm.tm_year + 1900LL;
    switch (letter) {
    case 'y':
        out += count == 2 ? padded(year % 100, 2) : padded(year, count);
        return;
    case 'M':
        if (count >= 4)
            out += monthNames[static_cast<size_t>(tm.tm_mon)];
        else if (count == 3)
            out += monthNames[static_cast<size_t>(tm.tm_mon)].substr(0, 3);
        else
            out += padded(tm.tm_mon + 1, count);
        return;
    case 'd':
        out += padded(tm.tm_mday, count);
        return;
    case 'H':
        out += padded(tm.tm_hour, count);
        return;
    case 'h':
        out += padded(tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12, count);
        return;
    case 'm':
        out += padded(tm.tm_min, count);
        return;
    case 's':
        out += padded(tm.tm_sec, count);
        return;
    case 'a':
        out += tm.tm_hour < 12 ? "AM" : "PM";
        return;
    default:
        throw std::invalid_argument(std::string("Unsupported date pattern letter ") + letter);
    }
}

} // namespace

std::string format(SystemTime time, std::string_view pattern) {
    // Read the zone afresh: the user may have moved since the last call.
    ::tzset();
    std::time_t seconds = static_cast<std::time_t>(
        std::chrono::floor<std::chrono::seconds>(time.time_since_epoch()).count());
    std::tm tm{};
    ::localtime_r(&seconds, &tm);

    std::string out;
    for (size_t i = 0; i < pattern.size();) {
        char c = pattern[i];
        if (c == '\'') {
            if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
                out += '\'';
                i += 2;
                continue;
            }
            size_t j = i + 1;
            for (; j < pattern.size(); ++j) {
                if (pattern[j] != '\'')
                    out += pattern[j];
                else if (j + 1 < pattern.size() && pattern[j + 1] == '\'')
                    out += pattern[j++];
                else
                    break;
            }
            i = j + 1;
        } else if (isPatternLetter(c)) {
            size_t count = 1;
            while (i + count < pattern.size() && pattern[i + count] == c)
                ++count;
            appendField(out, c, count, tm);
            i += count;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

} // namespace tallyvox::DateText
