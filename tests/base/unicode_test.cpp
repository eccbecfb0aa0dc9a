#include "base/Unicode.h"

#include <gtest/gtest.h>

#include <string>

using namespace tallyvox;

namespace {

// The folding of each character on its own, the slow way.
std::string reference(std::string_view text) {
    std::string out;
    for (const auto& piece : Utf8::pieces(text))
        for (char32_t c : Unicode::folded(piece.value))
            Utf8::append(c, out);
    return out;
}

std::string fast(std::string_view text, bool* isComposed = nullptr) {
    std::string out = "left over";
    EXPECT_TRUE(Unicode::caseFoldInto(text, out, isComposed)) << text;
    return out;
}

} // namespace

TEST(Unicode, FastFoldingIsTheFoldingOfEveryCharacter) {
    // Every character, each between ASCII capitals so the eight-byte steps start anywhere.
    std::string all;
    for (char32_t c = 1; c < 0x110000; c += c < 0x10000 ? 1 : 97) {
        if (c >= 0xD800 && c < 0xE000)
            continue;
        all += "AB";
        Utf8::append(c, all);
        all.append(c % 11, 'Z');
    }
    EXPECT_TRUE(fast(all) == reference(all));
    EXPECT_EQ(fast("STRASSE Straße İstanbul ΣΑΣ\nÉTÉ\r\n"),
              "strasse strasse i\xCC\x87stanbul σασ\nété\r\n");
    EXPECT_EQ(fast(""), "");

    std::string out;
    EXPECT_FALSE(Unicode::caseFoldInto("ABCDEFGH caf\xC3", out)) << "cut inside a character";
    EXPECT_FALSE(Unicode::caseFoldInto("\xFF", out));
}

TEST(Unicode, FoldingTellsWhatComposingWouldChangeAndWhatFoldsIntoSeveral) {
    bool isComposed = false;
    fast("Plain ASCII and café, Zürich, tiện", &isComposed);
    EXPECT_TRUE(isComposed);
    for (std::string_view changes : {"cafe\xCC\x81", "\xE2\x84\xAB" /* U+212B ANGSTROM SIGN */,
                                     "tie\xCC\x82\xCC\xA3n" /* marks out of canonical order */}) {
        isComposed = true;
        fast(changes, &isComposed);
        EXPECT_FALSE(isComposed) << changes;
    }
    EXPECT_EQ(Unicode::composed("cafe\xCC\x81 tie\xCC\x82\xCC\xA3n"), "café tiện");

    EXPECT_TRUE(Unicode::foldsIntoSeveral("Straße"));
    EXPECT_TRUE(Unicode::foldsIntoSeveral("\xF0\x9F\x98\x80 İ"));
    EXPECT_FALSE(Unicode::foldsIntoSeveral("STRASSE Ärger 😀"));

    const auto text = Unicode::foldedText("Aß\xFF");
    EXPECT_EQ(text.chars, (std::u32string{U'a', U's', U's', Utf8::malformedBase + 0xFF}));
    EXPECT_EQ(text.origin, (std::vector<std::size_t>{0, 1, 1, 2}));
    EXPECT_EQ(Unicode::foldedCharacters("SS"), U"ss");
}
