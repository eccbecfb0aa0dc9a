#include "transcripts/WordFix.h"

#include <gtest/gtest.h>

using namespace tallyvox;

TEST(WordFixApply, ReplacesWholeWordsInAnyCaseAndKeepsLongerWords) {
    auto result = WordFix::apply("teh", "the", "teh tehran was Teh.");
    EXPECT_EQ(result.text, "the tehran was the.");
    EXPECT_EQ(result.count, 2);

    EXPECT_EQ(WordFix::apply("teh", "the", "TEH teh2 2teh _teh_").text, "the teh2 2teh _the_");
    EXPECT_EQ(WordFix::apply("kubernetes", "Kubernetes", "use kubernetes").text, "use Kubernetes");
}

TEST(WordFixApply, NonAsciiLettersJoinWordsButPunctuationDoesNot) {
    EXPECT_EQ(WordFix::apply("teh", "the", "tehé éteh teh").text, "tehé éteh the");
    EXPECT_EQ(WordFix::apply("teh", "the", "\u201cteh\u201d teh\u2014ok").text,
              "\u201cthe\u201d the\u2014ok");
    auto accented = WordFix::apply("zoë", "Zoe", "ZOË and Zoë");
    EXPECT_EQ(accented.text, "Zoe and Zoe");
    EXPECT_EQ(accented.count, 2);
}

TEST(WordFixApply, CaseIsFoldedInEveryScript) {
    EXPECT_EQ(WordFix::apply("ștefan", "Ștefan", "ȘTEFAN met ștefan").text, "Ștefan met Ștefan");
    EXPECT_EQ(WordFix::apply("strasse", "Straße", "STRASSE oder straße").text,
              "Straße oder Straße");
    EXPECT_EQ(WordFix::apply("ok", "OK", "ok👍 ok").text, "OK👍 OK") << "emoji are no letters";
    EXPECT_EQ(WordFix::lowercased("İstanbul"), "i\u0307stanbul");
    WordFix::Memory memory;
    memory.record("Ștefan");
    memory.record("ștefan");
    EXPECT_EQ(memory.words, std::vector<std::string>{"ștefan"});
}

TEST(WordFixApply, EmptyWordOrFixChangesNothing) {
    EXPECT_EQ(WordFix::apply("", "x", "a b"), (WordFix::Applied{"a b", 0}));
    EXPECT_EQ(WordFix::apply("a", "", "a b"), (WordFix::Applied{"a b", 0}));
}

TEST(WordFixApply, ContinuesAfterAKeptMatch) {
    // "aa" inside "aaa" is part of a longer word; the search goes on after it.
    EXPECT_EQ(WordFix::apply("aa", "b", "aaa aa"), (WordFix::Applied{"aaa b", 1}));
}

TEST(WordFixApply, MalformedTextIsKeptByteForByte) {
    std::string text = "teh \xff teh\xc3";
    auto result = WordFix::apply("teh", "the", text);
    EXPECT_EQ(result.text, "the \xff teh\xc3");
    EXPECT_EQ(result.count, 1);
}

TEST(WordFix, CleanedMakesOneTrimmedLine) {
    EXPECT_EQ(WordFix::cleaned("  Grafana\n"), "Grafana");
    EXPECT_EQ(WordFix::cleaned("\u00a0New\r\nYork\t"), "New York");
    EXPECT_EQ(WordFix::cleaned(" \n "), "");
}

TEST(WordFixMemory, LearnsOnTheSecondFixWithTheSecondSpelling) {
    WordFix::Memory memory;
    memory.record("grafana");
    EXPECT_EQ(memory.counts, (std::map<std::string, int>{{"grafana", 1}}));
    EXPECT_TRUE(memory.words.empty());

    memory.record("Grafana");
    EXPECT_TRUE(memory.counts.empty());
    EXPECT_EQ(memory.words, std::vector<std::string>{"Grafana"});

    WordFix::Memory before = memory;
    memory.record("GRAFANA");
    EXPECT_EQ(memory, before) << "an already learned word changes nothing";
}

TEST(WordFixMemory, KeepsTheThirtyNewestWords) {
    WordFix::Memory memory;
    for (int i = 1; i <= 31; ++i) {
        memory.record("word" + std::to_string(i));
        memory.record("word" + std::to_string(i));
    }
    ASSERT_EQ(memory.words.size(), 30u);
    EXPECT_EQ(memory.words.front(), "word2");
    EXPECT_EQ(memory.words.back(), "word31");
}

TEST(WordFixMemory, LengthIsCountedInCharacters) {
    WordFix::Memory memory;
    std::string tooLong(41, 'x');
    memory.record(tooLong);
    memory.record(tooLong);
    memory.record("");
    EXPECT_EQ(memory, WordFix::Memory{});

    std::string fortyAccented;
    for (int i = 0; i < 40; ++i)
        fortyAccented += "é";
    memory.record(fortyAccented);
    memory.record(fortyAccented);
    EXPECT_EQ(memory.words, std::vector<std::string>{fortyAccented});

    // A long fix still changes the transcript.
    EXPECT_EQ(WordFix::apply("x", tooLong, "x").count, 1);
}

TEST(WordFixMemory, SingleFixesAreCappedWithoutLosingTheNewOne) {
    WordFix::Memory memory;
    for (int i = 0; i < 121; ++i)
        memory.record(std::string("w").append(std::to_string(i)));
    EXPECT_EQ(memory.counts.size(), 120u);
    EXPECT_EQ(memory.counts.count("w120"), 1u);
}

TEST(WordFix, PromptAppendsLearnedWords) {
    EXPECT_EQ(WordFix::prompt("", {"Kubernetes", "Grafana"}), "Also: Kubernetes, Grafana.");
    EXPECT_EQ(WordFix::prompt("Sprint review.", {"Kubernetes", "Grafana"}),
              "Sprint review. Also: Kubernetes, Grafana.");
    EXPECT_EQ(WordFix::prompt("Sprint review.", {}), "Sprint review.");
}

TEST(WordFix, CheckedKeepsCleanTextsOfAllowedLength) {
    PlistValue stored = PlistValue::Array{" Grafana\n", 5, "", std::string(41, 'k'), "Kubernetes"};
    EXPECT_EQ(WordFix::checked(stored), (std::vector<std::string>{"Grafana", "Kubernetes"}));
    EXPECT_TRUE(WordFix::checked(PlistValue("Grafana")).empty());
    EXPECT_TRUE(WordFix::checked(std::nullopt).empty());
}
