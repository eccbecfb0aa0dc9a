#include "transcription/PromptText.h"

#include "base/Utf8.h"

#include <algorithm>

namespace tallyvox::PromptText {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool continues(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

} // namespace

std::size_t characters(std::string_view text) {
    return Utf8::pieces(text).size();
}

std::string firstCharacters(std::string_view text, std::size_t count) {
    auto pieces = Utf8::pieces(text);
    if (pieces.size() <= count)
        return std::string(text);
    return std::string(text.substr(0, pieces[count].offset));
}

std::string bounded(std::string_view text) {
    std::string out;
    out.reserve(std::min(text.size(), longestText * 2));
    std::size_t run = 0;
    bool spaces = false;
    bool cutting = false;
    for (char c : text) {
        bool space = isSpace(c);
        if (out.empty() || space != spaces) {
            spaces = space;
            run = 0;
            cutting = false;
        }
        // Only a character's first byte may start the cut, so no sequence is left broken.
        if (!cutting && run >= longestRun && !continues(c))
            cutting = true;
        ++run;
        if (!cutting)
            out.push_back(c);
    }
    if (out.size() <= longestText)
        return out;
    std::size_t start = out.size() - longestText;
    while (start < out.size() && continues(out[start]))
        ++start;
    return out.substr(start);
}

} // namespace tallyvox::PromptText
