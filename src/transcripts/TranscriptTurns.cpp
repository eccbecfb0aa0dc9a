#include "transcripts/TranscriptTurns.h"

#include <charconv>

namespace tallyvox::TranscriptTurns {

namespace {

bool allDigits(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

} // namespace

std::optional<long long> number(std::string_view digits) {
    if (!allDigits(digits) || digits.size() > 12)
        return std::nullopt;
    long long value = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return value;
}

std::string_view withoutByteOrderMark(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    return text;
}

std::string_view withoutCarriageReturn(std::string_view line) {
    if (line.ends_with('\r'))
        line.remove_suffix(1);
    return line;
}

bool Lines::next(std::string_view& line) {
    if (done_)
        return false;
    auto end = text_.find('\n', at_);
    if (end == std::string_view::npos) {
        end = text_.size();
        done_ = true;
    }
    line = withoutCarriageReturn(text_.substr(at_, end - at_));
    at_ = end + 1;
    return true;
}

std::optional<Heading> heading(std::string_view line) {
    if (line.size() < 10 || line[0] != '[')
        return std::nullopt;
    const std::size_t close = line.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    const std::string_view time = line.substr(1, close - 1);
    const std::size_t first = time.find(':');
    const std::size_t second = time.rfind(':');
    if (first == std::string_view::npos || first == second || time.size() - second != 3 ||
        second - first != 3)
        return std::nullopt;
    const auto hours = number(time.substr(0, first));
    const auto minutes = number(time.substr(first + 1, 2));
    const auto seconds = number(time.substr(second + 1, 2));
    if (!hours || first < 2 || !minutes || !seconds || *minutes > 59 || *seconds > 59)
        return std::nullopt;
    Heading result{.time = time,
                   .start = static_cast<double>(*hours * 3600 + *minutes * 60 + *seconds),
                   .speaker = std::nullopt,
                   .speakerAt = line.size()};
    const std::string_view rest = line.substr(close + 1);
    if (rest.empty())
        return result;
    if (rest.size() < 2 || rest.front() != ' ' || rest.back() != ':')
        return std::nullopt;
    result.speaker = rest.substr(1, rest.size() - 2);
    result.speakerAt = close + 2;
    return result;
}

} // namespace tallyvox::TranscriptTurns
