#include "speakers/NameMatcher.h"
#include "speakers/PersonName.h"
#include "speakers/SpeakerLabel.h"

#include <gtest/gtest.h>

using namespace tallyvox;

TEST(SpeakerLabel, LettersThenNumbersThenAddedSpeakers) {
    EXPECT_EQ(SpeakerLabel::unidentified(0), "Speaker A (Unidentified)");
    EXPECT_EQ(SpeakerLabel::unidentified(25), "Speaker Z (Unidentified)");
    EXPECT_EQ(SpeakerLabel::unidentified(26), "Speaker 27 (Unidentified)");
    EXPECT_EQ(SpeakerLabel::unidentified(499), "Speaker 500 (Unidentified)");
    EXPECT_EQ(SpeakerLabel::unidentified(500), "Speaker 1 (added)");
    EXPECT_EQ(SpeakerLabel::unidentified(501), "Speaker 2 (added)");
}

TEST(PersonName, UnicodeWhiteSpaceIsTrimmedBreaksBecomeSpacesAndControlsGo) {
    using namespace std::string_literals;
    // No-break, ideographic, next-line, line and paragraph separators, and a mix: no name.
    for (const auto* blank : {"\u00A0", "\u3000", "\u0085", "\u2028", "\u2029",
                              " \t\u00A0\u2028\u3000\u0085\u200A\r\n"})
        EXPECT_EQ(PersonName::cleaned(blank), "") << blank;
    EXPECT_EQ(PersonName::cleaned("\u3000 Ann Bell\u00A0\u2029"), "Ann Bell");
    EXPECT_EQ(PersonName::cleaned("Jean\u00A0Paul"), "Jean\u00A0Paul") << "inside, kept as typed";
    EXPECT_EQ(PersonName::cleaned("Ann\u2028Bell\r\nRoe\u0085Day\tEve"), "Ann Bell  Roe Day Eve");
    // An escape sequence, a NUL, DEL and a C1 control (CSI) lose their control character.
    EXPECT_EQ(PersonName::cleaned("\x1b[2JAnn\0 Bell\x7f\u009b"s), "[2JAnn Bell");
    EXPECT_EQ(PersonName::cleaned("\x1b\0\u009b"s), "");
    EXPECT_EQ(PersonName::cleaned("Zo\xff\u00EB\u0301"), "Zo\uFFFD\u00EB\u0301")
        << "broken bytes repaired, marks kept";
}

TEST(NameMatcher, NamesAreTheSamePersonWhenTheirWordPiecesAre) {
    EXPECT_EQ(NameMatcher::key("Lee, Sam"), NameMatcher::key("sam lee"));
    EXPECT_NE(NameMatcher::key("Sam"), NameMatcher::key("Sam Lee"));
    EXPECT_EQ(NameMatcher::key("ZOË O'Neil"), (std::set<std::string>{"zoë", "o", "neil"}));
    EXPECT_TRUE(NameMatcher::key(" -- ").empty());

    std::vector<std::string> roster{"Ann Bell", "Ada Lovelace", "bell ann", "", "---", "Cy"};
    EXPECT_EQ(NameMatcher::others(roster, "LOVELACE ada"),
              (std::vector<std::string>{"Ann Bell", "Cy"}));
}

TEST(NameMatcher, OnlyOneOtherInviteeAndOneVoiceHeardLongEnoughIsNamed) {
    std::vector<std::string> roster{"Ada Lovelace", "Ann Bell", "bell ann"};
    EXPECT_EQ(NameMatcher::match(roster, "lovelace ada", {{2, 20.0}}),
              (std::map<int, std::string>{{2, "Ann Bell"}}));
    EXPECT_EQ(NameMatcher::match(roster, "lovelace ada", {{2, 15.0}, {1000, 90.0}, {1001, 3.0}}),
              (std::map<int, std::string>{{2, "Ann Bell"}}))
        << "the microphone is never a voice of the meeting";
    EXPECT_TRUE(NameMatcher::match(roster, "lovelace ada", {{2, 14.0}}).empty());
    EXPECT_TRUE(NameMatcher::match(roster, "lovelace ada", {{2, 20.0}, {3, 1.0}}).empty());
    EXPECT_TRUE(NameMatcher::match({"Ada Lovelace", "Ann Bell", "Cy"}, "Ada Lovelace", {{2, 20.0}})
                    .empty());
    EXPECT_TRUE(NameMatcher::match(roster, "", {{2, 20.0}}).empty())
        << "the user is an invitee too";
}
