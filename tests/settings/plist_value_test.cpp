#include "settings/PlistValue.h"

#include <gtest/gtest.h>

using namespace tallyvox;

namespace {
SystemTime at(std::int64_t unixSeconds) {
    return SystemTime(std::chrono::seconds(unixSeconds));
}

PlistValue everyType() {
    PlistValue::Dictionary nested{{"inner", PlistValue::Array{1, "two", 3.5}}};
    return PlistValue::Dictionary{
        {"bool", true},
        {"false", false},
        {"integer", std::int64_t{9000000000}},
        {"negative", -5},
        {"real", 20.25},
        {"wholeReal", 20.0},
        {"string", "a<b>&\"c\" é ü 日本"},
        {"empty", ""},
        {"controls", "a\x01"
                     "b\r\n\xff"},
        {"date", at(1796558400)},
        {"before2001", at(946684800)},
        {"array", PlistValue::Array{true, "x", PlistValue::Array{}}},
        {"dict", nested},
        {"emptyDict", PlistValue::Dictionary{}},
    };
}
} // namespace

TEST(PlistValue, EveryTypeSurvivesTheXmlRoundTrip) {
    PlistValue original = everyType();
    auto back = PlistValue::fromXml(original.toXml());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, original);
    EXPECT_EQ(back->dictionaryValue()->at("real").type(), PlistValue::Type::real);
    EXPECT_EQ(back->dictionaryValue()->at("wholeReal").type(), PlistValue::Type::real)
        << "a real that happens to be whole stays a real";
}

TEST(PlistValue, WritesAVersionOneDocumentWithDateElements) {
    std::string xml = PlistValue(PlistValue::Dictionary{{"d", at(1796558400)}}).toXml();
    EXPECT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos);
    EXPECT_NE(xml.find("<date>2026-12-06T12:00:00Z</date>"), std::string::npos) << xml;
}

TEST(PlistValue, DatesKeepWholeSeconds) {
    auto withFraction = at(1796558400) + std::chrono::milliseconds(750);
    auto back = PlistValue::fromXml(PlistValue(withFraction).toXml());
    ASSERT_TRUE(back);
    EXPECT_EQ(back->dateValue(), at(1796558400));
}

TEST(PlistValue, AccessorsAnswerOnlyForTheirOwnType) {
    PlistValue integer = 5;
    EXPECT_EQ(integer.integerValue(), 5);
    EXPECT_FALSE(integer.realValue());
    EXPECT_FALSE(integer.boolValue());
    EXPECT_FALSE(integer.stringValue());
    EXPECT_EQ(integer.arrayValue(), nullptr);
    EXPECT_EQ(PlistValue("5").stringValue(), "5");
    EXPECT_FALSE(PlistValue("5").integerValue());
}

TEST(PlistValue, BrokenInputGivesNothing) {
    for (std::string bad :
         {std::string(), std::string("garbage"), std::string("bplist00\x01\x02"),
          std::string("<?xml version=\"1.0\"?><plist><dict><key>a</key>"), std::string(100, '\0')})
        EXPECT_FALSE(PlistValue::fromXml(bad)) << bad;
}

TEST(PlistValue, EveryTruncationOfADocumentIsSafe) {
    std::string xml = everyType().toXml();
    size_t closing = xml.rfind("</dict>");
    for (size_t n = 0; n < xml.size(); ++n) {
        auto parsed = PlistValue::fromXml(xml.substr(0, n));
        if (n < closing) {
            EXPECT_FALSE(parsed) << "cut at " << n;
        }
    }
}

TEST(PlistValue, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    std::string deep = "<plist version=\"1.0\">";
    for (int i = 0; i < 300000; ++i)
        deep += "<array>";
    for (int i = 0; i < 300000; ++i)
        deep += "</array>";
    deep += "</plist>";
    EXPECT_FALSE(PlistValue::fromXml(deep));

    std::string shallow = "<plist version=\"1.0\"><array><array/><dict/></array></plist>";
    auto parsed = PlistValue::fromXml(shallow);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed,
              PlistValue(PlistValue::Array{PlistValue::Array{}, PlistValue::Dictionary{}}));
}

TEST(PlistValue, UnsupportedEntriesAreLeftOutNotFatal) {
    auto parsed =
        PlistValue::fromXml("<plist version=\"1.0\"><dict><key>blob</key><data>AAEC</data>"
                            "<key>ok</key><true/></dict></plist>");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, PlistValue(PlistValue::Dictionary{{"ok", true}}));
}
