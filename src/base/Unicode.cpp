#include "base/Unicode.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utf8proc.h>

namespace tallyvox::Unicode {

namespace {

// The case folding of every character of the Basic Multilingual Plane as UTF-8, made once:
// text in other scripts then folds as fast as a table look-up. Beside it, what tells whether
// text is already in composed form (NFC), so that only text that is not pays for composing.
struct FoldTable {
    struct Entry {
        std::uint8_t length;
        bool expands; // folds into more than one character ("ß" -> "ss")
        // Composing may change it, or join it to the character before it ("e" + U+0301).
        bool composes;
        std::uint8_t combiningClass;
        char bytes[10];
    };
    std::vector<Entry> entries;
    std::vector<char32_t> composesAbove; // the same beyond the BMP, sorted
    FoldTable()
        : entries(0x10000) {
        std::string folding;
        for (char32_t c = 0x80; c < 0x10000; ++c) {
            folding.clear();
            const auto characters = folded(c);
            for (char32_t f : characters)
                Utf8::append(f, folding);
            auto& entry = entries[c];
            entry.expands = characters.size() > 1;
            entry.length = static_cast<std::uint8_t>(std::min(folding.size(), sizeof entry.bytes));
            entry.combiningClass =
                utf8proc_get_property(static_cast<utf8proc_int32_t>(c))->combining_class;
            std::memcpy(entry.bytes, folding.data(), entry.length);
        }
        // A character that decomposes and does not compose back (U+212B ANGSTROM SIGN), and
        // every character but the first of a decomposition, which may join the one before
        // it. No character past plane 2 decomposes.
        std::vector<char32_t> above;
        auto mark = [&](char32_t c) {
            if (c < 0x10000)
                entries[c].composes = true;
            else
                above.push_back(c);
        };
        utf8proc_int32_t parts[32];
        for (char32_t c = 0xA0; c < 0x30000; ++c) {
            const auto n = utf8proc_decompose_char(static_cast<utf8proc_int32_t>(c), parts, 32,
                                                   UTF8PROC_DECOMPOSE, nullptr);
            if (n < 1 || n > 32 || (n == 1 && static_cast<char32_t>(parts[0]) == c))
                continue;
            for (utf8proc_ssize_t k = 1; k < n; ++k)
                mark(static_cast<char32_t>(parts[k]));
            const auto m = utf8proc_normalize_utf32(
                parts, n, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
            if (m != 1 || static_cast<char32_t>(parts[0]) != c)
                mark(c);
        }
        std::sort(above.begin(), above.end());
        above.erase(std::unique(above.begin(), above.end()), above.end());
        composesAbove = std::move(above);
    }
};

const FoldTable& foldTable() {
    static const FoldTable table;
    return table;
}

// Whether text that is not ASCII still reads the same in composed form. Unicode's quick
// check: no character that composing may change, and combining marks in canonical order.
class CompositionCheck {
public:
    void add(char32_t c, std::size_t at, std::size_t end) {
        if (!composed_)
            return;
        const auto& table = foldTable();
        bool composes;
        std::uint8_t combiningClass;
        if (c < 0x10000) {
            composes = table.entries[c].composes;
            combiningClass = table.entries[c].combiningClass;
        } else {
            composes =
                std::binary_search(table.composesAbove.begin(), table.composesAbove.end(), c);
            combiningClass =
                c > 0x10FFFF
                    ? 0
                    : static_cast<std::uint8_t>(
                          utf8proc_get_property(static_cast<utf8proc_int32_t>(c))->combining_class);
        }
        // An ASCII character between two others is a starter: the order starts again.
        if (at != lastEnd_)
            lastClass_ = 0;
        if (composes || (combiningClass != 0 && combiningClass < lastClass_))
            composed_ = false;
        lastClass_ = combiningClass;
        lastEnd_ = end;
    }
    bool composed() const { return composed_; }

private:
    bool composed_ = true;
    std::uint8_t lastClass_ = 0;
    std::size_t lastEnd_ = 0;
};

std::string_view foldedCharacter(char32_t c, std::string& scratch) {
    const auto& table = foldTable();
    if (c < 0x10000) {
        const auto& entry = table.entries[c];
        return {entry.bytes, entry.length};
    }
    scratch.clear();
    for (char32_t f : folded(c))
        Utf8::append(f, scratch);
    return scratch;
}

} // namespace

bool isWordCharacter(char32_t c) {
    if (c > 0x10FFFF)
        return false;
    switch (utf8proc_category(static_cast<utf8proc_int32_t>(c))) {
    case UTF8PROC_CATEGORY_LU:
    case UTF8PROC_CATEGORY_LL:
    case UTF8PROC_CATEGORY_LT:
    case UTF8PROC_CATEGORY_LM:
    case UTF8PROC_CATEGORY_LO:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_MC:
    case UTF8PROC_CATEGORY_ME:
    case UTF8PROC_CATEGORY_ND:
    case UTF8PROC_CATEGORY_NL:
    case UTF8PROC_CATEGORY_NO:
        return true;
    default:
        return false;
    }
}

std::u32string folded(char32_t c) {
    if (c > 0x10FFFF)
        return std::u32string(1, c);
    // No folding in Unicode is longer than three characters.
    utf8proc_int32_t out[8];
    utf8proc_ssize_t n = utf8proc_decompose_char(static_cast<utf8proc_int32_t>(c), out, 8,
                                                 UTF8PROC_CASEFOLD, nullptr);
    if (n <= 0 || n > 8)
        return std::u32string(1, c);
    std::u32string result;
    for (utf8proc_ssize_t i = 0; i < n; ++i)
        result.push_back(static_cast<char32_t>(out[i]));
    return result;
}

std::string folded(std::string_view text) {
    std::string valid = Utf8::repaired(text);
    utf8proc_uint8_t* mapped = nullptr;
    utf8proc_ssize_t n = utf8proc_map(
        reinterpret_cast<const utf8proc_uint8_t*>(valid.data()),
        static_cast<utf8proc_ssize_t>(valid.size()), &mapped,
        static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_CASEFOLD));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(mapped, &std::free);
    if (n < 0)
        return valid;
    return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(n));
}

std::string wordKey(std::string_view text) {
    std::string all = folded(text);
    std::string out;
    for (std::size_t i = 0; i < all.size();) {
        Utf8::Char c = Utf8::decode(all, i);
        if (c.valid && isWordCharacter(c.value))
            out.append(all, i, c.length);
        i += c.length;
    }
    return out;
}

std::string composed(std::string_view text) {
    utf8proc_uint8_t* mapped = nullptr;
    const utf8proc_ssize_t n =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                     static_cast<utf8proc_ssize_t>(text.size()), &mapped,
                     static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(mapped, &std::free);
    if (n < 0)
        return std::string(text);
    return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(n));
}

bool caseFoldInto(std::string_view text, std::string& out, bool* isComposed) {
    constexpr std::uint64_t high = 0x8080808080808080ull;
    const std::size_t n = text.size();
    const char* from = text.data();
    out.resize(n + 16);
    std::size_t i = 0, o = 0;
    std::string scratch;
    CompositionCheck check;
    while (i < n) {
        while (i + 8 <= n) {
            std::uint64_t x;
            std::memcpy(&x, from + i, 8);
            if (x & high)
                break;
            // Per byte (all below 0x80, so no carries): top bit of `a` set from 'A' up, of
            // `z` from '[' up; between them are the capitals, which gain 0x20.
            const std::uint64_t a = x + 0x3f3f3f3f3f3f3f3full;
            const std::uint64_t z = x + 0x2525252525252525ull;
            x |= ((a & ~z) & high) >> 2;
            std::memcpy(out.data() + o, &x, 8);
            i += 8;
            o += 8;
        }
        while (i < n && static_cast<unsigned char>(from[i]) < 0x80) {
            const auto c = static_cast<unsigned char>(from[i++]);
            out[o++] = static_cast<char>(c + (static_cast<unsigned>(c - 'A') < 26u ? 32 : 0));
            if ((i & 7) == 0)
                break; // back to eight at a time
        }
        if (i == n || static_cast<unsigned char>(from[i]) < 0x80)
            continue;
        const Utf8::Char c = Utf8::decode(text, i);
        if (!c.valid)
            return false;
        if (isComposed)
            check.add(c.value, i, i + c.length);
        i += c.length;
        const std::string_view folding = foldedCharacter(c.value, scratch);
        // A character never folds to more than three, of at most four bytes each.
        if (out.size() < o + folding.size() + (n - i) + 16)
            out.resize(o + folding.size() + (n - i) + 16);
        std::memcpy(out.data() + o, folding.data(), folding.size());
        o += folding.size();
    }
    out.resize(o);
    if (isComposed)
        *isComposed = check.composed();
    return true;
}

bool foldsIntoSeveral(std::string_view text) {
    const auto& table = foldTable();
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        const auto c = Utf8::decode(text, i);
        i += c.length;
        if (c.value < 0x10000 ? table.entries[c.value].expands : folded(c.value).size() > 1)
            return true;
    }
    return false;
}

FoldedText foldedText(std::string_view text) {
    FoldedText f;
    f.pieces = Utf8::pieces(text);
    for (std::size_t i = 0; i < f.pieces.size(); ++i)
        for (char32_t c : folded(f.pieces[i].value)) {
            f.chars.push_back(c);
            f.origin.push_back(i);
        }
    return f;
}

std::u32string foldedCharacters(std::string_view text) {
    std::u32string out;
    for (const auto& piece : Utf8::pieces(text))
        out += folded(piece.value);
    return out;
}

} // namespace tallyvox::Unicode
