#include "transcripts/TranscriptFormat.h"

#include <gtest/gtest.h>

#include <limits>

using namespace tallyvox;

TEST(TranscriptFormatLimits, BrokenTimesNeverOverflowOrPrintGarbage) {
    double inf = std::numeric_limits<double>::infinity();
    double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(TranscriptFormat::timestamp(nan), "00:00:00");
    EXPECT_EQ(TranscriptFormat::timestamp(-inf), "00:00:00");
    EXPECT_EQ(TranscriptFormat::srtTimestamp(nan), "00:00:00,000");
    EXPECT_EQ(TranscriptFormat::timestamp(360000), "100:00:00") << "hours are not capped";
    EXPECT_FALSE(TranscriptFormat::timestamp(inf).empty());
    EXPECT_FALSE(TranscriptFormat::srtTimestamp(1e300).empty());
}

TEST(TranscriptFormatLimits, OneLineHandlesEveryLineBreakKind) {
    EXPECT_EQ(TranscriptFormat::oneLine("Design\r\n\nreview\u2028now\u0085ok\u2029\x0b\x0c"),
              "Design review now ok");
    EXPECT_EQ(TranscriptFormat::oneLine("tab\tkept  and  spaces"), "tab\tkept  and  spaces");
    EXPECT_EQ(TranscriptFormat::oneLine("\n\n"), "");
}
