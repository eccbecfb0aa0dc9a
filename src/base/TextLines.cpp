#include "base/TextLines.h"

namespace tallyvox::TextLines {

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

std::string_view trimmed(std::string_view text) {
    return trimmed(text, " \t\n\r\v\f");
}

std::string_view trimmed(std::string_view text, std::string_view characters) {
    auto first = text.find_first_not_of(characters);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(characters) - first + 1);
}

} // namespace tallyvox::TextLines
