#include "base/Utf8.h"

namespace tallyvox::Utf8 {

Char decode(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(at);
    if (lead < 0x80)
        return {lead, 1, true};
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;   // no overlong forms
        high = lead == 0xED ? 0x9F : high; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high; // nothing above U+10FFFF
    }
    if (length == 0)
        return {0xFFFD, 1, false};
    char32_t value = lead & (0x7F >> length);
    std::size_t k = 1;
    for (; k < length && at + k < text.size(); ++k) {
        unsigned char c = byte(at + k);
        if (k == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF))
            break;
        value = (value << 6) | (c & 0x3F);
    }
    if (k < length)
        return {0xFFFD, k, false};
    return {value, length, true};
}

void append(char32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string repaired(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        Char c = decode(bytes, i);
        if (c.valid)
            out.append(bytes.substr(i, c.length));
        else
            append(0xFFFD, out);
        i += c.length;
    }
    return out;
}

std::vector<Piece> pieces(std::string_view text) {
    std::vector<Piece> out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        Char c = decode(text, i);
        if (!c.valid) {
            out.push_back({malformedBase + static_cast<unsigned char>(text[i]), i, 1});
            ++i;
            continue;
        }
        out.push_back({c.value, i, c.length});
        i += c.length;
    }
    return out;
}

} // namespace tallyvox::Utf8
