#include "transcription/WhisperPhantom.h"

#include "base/Utf8.h"

#include <cstdint>

namespace tallyvox::WhisperPhantom {

const std::set<std::string, std::less<>> lines = {
    "thank you for watching",
    "thanks for watching",
    "thank you so much for watching",
    "thank you very much for watching",
    "thank you for watching and see you next time",
    "please subscribe",
    "please subscribe to my channel",
    "like and subscribe",
    "dont forget to like and subscribe",
    "subscribe to my channel",
    "see you in the next video",
    "see you next time",
};

namespace {

enum class Kind { letter, space, other };

Kind kind(std::uint32_t c) {
    if (c < 0x80) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
            return Kind::letter;
        if (c == ' ' || (c >= '\t' && c <= '\r'))
            return Kind::space;
        return Kind::other;
    }
    if (c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
        c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000)
        return Kind::space;
    // Punctuation, symbols, combining marks, music notes and emoji are not letters; other
    // scripts are.
    if ((c < 0xC0 && c != 0xAA && c != 0xB5 && c != 0xBA) || c == 0xD7 || c == 0xF7 ||
        (c >= 0x300 && c <= 0x36F) || (c >= 0x2000 && c <= 0x2BFF) ||
        (c >= 0x2E00 && c <= 0x2E7F) || (c >= 0x3000 && c <= 0x303F) ||
        (c >= 0xFE00 && c <= 0xFE6F) || (c >= 0xFF00 && c <= 0xFF20) ||
        (c >= 0x1F000 && c <= 0x1FAFF))
        return Kind::other;
    return Kind::letter;
}

} // namespace

std::string simplified(std::string_view text) {
    std::string out;
    bool gap = false;
    for (size_t i = 0; i < text.size();) {
        // A broken byte sequence reads as U+FFFD, a letter, so it never makes a line look
        // like a phrase.
        Utf8::Char decoded = Utf8::decode(text, i);
        std::uint32_t c = decoded.value;
        size_t length = decoded.length;
        switch (kind(c)) {
        case Kind::space:
            gap = !out.empty();
            break;
        case Kind::letter:
            if (gap)
                out += ' ';
            gap = false;
            if (c >= 'A' && c <= 'Z')
                out += static_cast<char>(c - 'A' + 'a');
            else
                out.append(text.substr(i, length));
            break;
        case Kind::other:
            break;
        }
        i += length;
    }
    return out;
}

bool isPhantom(std::string_view text) {
    auto plain = simplified(text);
    return lines.contains(plain) || plain.starts_with("subtitles by") ||
           plain.starts_with("transcribed by");
}

} // namespace tallyvox::WhisperPhantom
