#include "base/Utf8.h"

#include <gtest/gtest.h>

using namespace tallyvox;

TEST(Utf8, BrokenSequencesBecomeOneReplacementEachAndValidTextStays) {
    EXPECT_EQ(Utf8::repaired("a\xC3"), "a\xEF\xBF\xBD");
    EXPECT_EQ(Utf8::repaired("\xFF"
                             "b"),
              "\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(Utf8::repaired("\xE2\x82"
                             "x"),
              "\xEF\xBF\xBD"
              "x")
        << "the valid beginning of a cut-off character is one mark";
    EXPECT_EQ(Utf8::repaired("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD")
        << "surrogates are not characters";
    EXPECT_EQ(Utf8::repaired("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD") << "no overlong forms";
    EXPECT_EQ(Utf8::repaired("\xF0\x9F\x98\x80 ok caf\xC3\xA9"), "\xF0\x9F\x98\x80 ok caf\xC3\xA9");
}

TEST(Utf8, DecodeAndAppendRoundTrip) {
    for (char32_t c : {U'a', U'\u00e9', U'\u2028', U'\U0001F600'}) {
        std::string text;
        Utf8::append(c, text);
        auto decoded = Utf8::decode(text, 0);
        EXPECT_TRUE(decoded.valid);
        EXPECT_EQ(decoded.value, c);
        EXPECT_EQ(decoded.length, text.size());
    }
}
