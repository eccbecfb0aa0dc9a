#include "transcription/WhisperPhantom.h"

#include <gtest/gtest.h>

namespace tallyvox {
namespace {

TEST(WhisperPhantom, StockPhrasesMatchWhateverTheirCasePunctuationAndSpacing) {
    EXPECT_EQ(WhisperPhantom::lines.size(), 12u);
    for (const char* text :
         {"Thank you for watching!", "  THANKS   for\twatching.",
          "Don't forget to like and subscribe!", "Don\u2019t forget to like and subscribe",
          "\u266a Please subscribe \u266a", "See you next time...", "Thank you for watching 2"}) {
        SCOPED_TRACE(text);
        EXPECT_TRUE(WhisperPhantom::isPhantom(text));
    }
}

TEST(WhisperPhantom, CreditsArePhantomsWhateverFollows) {
    EXPECT_TRUE(WhisperPhantom::isPhantom("Subtitles by the Amara.org community"));
    EXPECT_TRUE(WhisperPhantom::isPhantom("Transcribed by ESO, translated by someone"));
}

TEST(WhisperPhantom, RealSpeechIsKept) {
    for (const char* text :
         {"Thank you for watching the demo with us today.",
          "Please subscribe the new members to the list.", "Thank you",
          "We said see you next time, right?", "", "   ", "Merci d\u2019avoir regard\u00e9"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(WhisperPhantom::isPhantom(text));
    }
}

TEST(WhisperPhantom, SimplifiedKeepsLettersOfOtherScripts) {
    EXPECT_EQ(
        WhisperPhantom::simplified("\u00c9t\u00e9, 2024: \u041f\u0440\u0438\u0432\u0435\u0442!"),
        "\u00c9t\u00e9 \u041f\u0440\u0438\u0432\u0435\u0442");
    EXPECT_EQ(WhisperPhantom::simplified("a\xff b"), "a\xff b"); // broken bytes stay
}

} // namespace
} // namespace tallyvox
