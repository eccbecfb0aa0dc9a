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

namespace {
std::string repeated(std::string_view piece, int times) {
    std::string text;
    text.reserve(piece.size() * static_cast<size_t>(times));
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}

std::string nestedArrays(int depth) {
    return repeated("<array>", depth) + repeated("</array>", depth);
}
} // namespace

// Closing tags where libplist does not see them must not pay for opening tags it does see.
TEST(PlistValue, ClosingTagsHiddenFromTheParserDoNotOffsetDeepNesting) {
    const int deep = 200000;
    const std::string closes = repeated("</array>", deep);
    const std::string opens = repeated("<array>", deep);
    const std::vector<std::string> hostile{
        "<!-- " + closes + " --><plist version=\"1.0\">" + opens + "</plist>",
        "<?xml version=\"1.0\"?><?note " + closes + "?><plist>" + opens + "</plist>",
        "<!DOCTYPE plist [ " + closes + " ]><plist>" + opens + "</plist>",
        "<plist note=\"" + closes + "\">" + opens + "</plist>",
        "<plist><array><string><![CDATA[" + closes + "]]></string>" + opens + "</array></plist>",
        "<plist><array><key><!--" + closes + "--></key>" + opens + "</array></plist>",
        // An unfinished document makes libplist free what it built so far.
        "<!--" + closes + "--><plist>" + opens + "<bogus>",
    };
    for (const auto& xml : hostile)
        EXPECT_FALSE(PlistValue::fromXml(xml)) << xml.substr(0, 40);
}

TEST(PlistValue, CommentsInstructionsDoctypeAndCdataDoNotChangeTheValue) {
    const std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"x>y.dtd\">\n"
        "<!-- <array><dict> edited by hand -->\n"
        "<plist version=\"1.0\"><dict>\n"
        "  <key>words<!-- </dict> --></key><array><string><![CDATA[<array>]]></string>"
        "<?pi </array>?></array>\n"
        "  <key>on</key><true></true>\n"
        "</dict></plist>\n";
    auto parsed = PlistValue::fromXml(xml);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, PlistValue(PlistValue::Dictionary{{"words", PlistValue::Array{"<array>"}},
                                                         {"on", true}}));

    // What follows the root is never read, so it cannot make the file unreadable.
    EXPECT_TRUE(PlistValue::fromXml("<plist><array/></plist>"));
    EXPECT_EQ(PlistValue::fromXml("<plist><array><true/></array></plist>trailing <!--"),
              PlistValue(PlistValue::Array{true}));
}

TEST(PlistValue, NestingIsAllowedUpToTheLimitAndNoFurther) {
    auto atLimit = PlistValue::fromXml("<plist>" + nestedArrays(256) + "</plist>");
    ASSERT_TRUE(atLimit);
    const PlistValue* inner = &*atLimit;
    int depth = 0;
    while (inner->arrayValue() && !inner->arrayValue()->empty()) {
        inner = &inner->arrayValue()->front();
        ++depth;
    }
    EXPECT_EQ(depth, 255);
    EXPECT_FALSE(PlistValue::fromXml("<plist>" + nestedArrays(257) + "</plist>"));
    EXPECT_FALSE(PlistValue::fromXml("<plist>" + repeated("<dict><key>k</key>", 257) +
                                     repeated("</dict>", 257) + "</plist>"));
}

namespace {
// A binary property list of `objects` (the first is the root), whose references are
// `refSize` bytes wide.
std::string binaryPlist(const std::vector<std::string>& objects, int refSize = 1) {
    auto bigEndian = [](std::uint64_t value, int size) {
        std::string bytes;
        for (int i = size - 1; i >= 0; --i)
            bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
        return bytes;
    };
    std::string file = "bplist00";
    std::string offsets;
    for (const auto& object : objects) {
        offsets += bigEndian(file.size(), 4);
        file += object;
    }
    const std::uint64_t table = file.size();
    file += offsets;
    file += std::string(6, '\0') + char{4} + static_cast<char>(refSize) +
            bigEndian(objects.size(), 8) + bigEndian(0, 8) + bigEndian(table, 8);
    return file;
}

std::string ref(std::uint64_t index, int refSize = 1) {
    std::string bytes;
    for (int i = refSize - 1; i >= 0; --i)
        bytes += static_cast<char>((index >> (8 * i)) & 0xFF);
    return bytes;
}

// Arrays of one, each holding the next, around `true`.
std::string nestedBinaryArrays(int depth) {
    std::vector<std::string> objects;
    for (int i = 0; i < depth; ++i) {
        // Appended, not concatenated: GCC 12 at -O3 warns falsely (-Wrestrict) on
        // "literal" + std::string.
        std::string array(1, '\xA1');
        array += ref(static_cast<std::uint64_t>(i + 1), 2);
        objects.push_back(std::move(array));
    }
    objects.emplace_back("\x09");
    return binaryPlist(objects, 2);
}

std::string hexBytes(std::string_view hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return bytes;
}
} // namespace

// As another tool writes a preferences file: every type this app reads, and nesting.
TEST(PlistValue, BinaryPropertyListsReadLikeXmlOnes) {
    const std::string written = hexBytes(
        "62706c6973743030d60102030405060708090a0b0c5c6368756e6b5365636f6e64735f100f64656c657465"
        "4166746572446179735764696172697a65586c616e6775616765566d794e616d65566e6573746564234029"
        "000000000000101e0852646563005a006f00ebd10d0e546c697374a30f101110015374776f09081522343c"
        "454c535c5e5f62696c7175777b000000000000010100000000000000120000000000000000000000000000"
        "007c");
    auto parsed = PlistValue::fromFileBytes(written);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, PlistValue(PlistValue::Dictionary{
                           {"chunkSeconds", 12.5},
                           {"deleteAfterDays", 30},
                           {"diarize", false},
                           {"language", "de"},
                           {"myName", "Zoë"},
                           {"nested",
                            PlistValue::Dictionary{{"list", PlistValue::Array{1, "two", true}}}}}));
    EXPECT_EQ(PlistValue::fromFileBytes(everyType().toXml()), everyType()) << "XML as before";
    EXPECT_FALSE(PlistValue::fromXml(written)) << "only the file reader takes binary ones";
    for (size_t n = 0; n < written.size(); ++n)
        PlistValue::fromFileBytes(written.substr(0, n)); // no crash, whatever it answers
}

TEST(PlistValue, BinaryNestingAndSharingAreBoundedLikeXml) {
    auto atLimit = PlistValue::fromFileBytes(nestedBinaryArrays(256));
    ASSERT_TRUE(atLimit);
    EXPECT_FALSE(PlistValue::fromFileBytes(nestedBinaryArrays(257)));
    EXPECT_FALSE(PlistValue::fromFileBytes(nestedBinaryArrays(100000)));

    // Each level holds the next twice: 2^60 copies of a short text from a few hundred bytes.
    std::vector<std::string> doubling;
    for (std::uint64_t i = 0; i < 60; ++i) {
        std::string array(1, '\xA2');
        array += ref(i + 1);
        array += ref(i + 1);
        doubling.push_back(std::move(array));
    }
    doubling.emplace_back("\x5A"
                          "0123456789");
    EXPECT_FALSE(PlistValue::fromFileBytes(binaryPlist(doubling)));
    // Shared a few times it is fine.
    EXPECT_EQ(PlistValue::fromFileBytes(binaryPlist({"\xA2\x01\x01", "\x51x"})),
              PlistValue(PlistValue::Array{"x", "x"}));

    EXPECT_FALSE(PlistValue::fromFileBytes(binaryPlist({std::string("\xA1\x00", 2)})))
        << "an array holding itself";
    EXPECT_FALSE(PlistValue::fromFileBytes(binaryPlist({"\xA1\x07"}))) << "no such object";
}

// libplist takes every dictionary key for a text and aborts reading one that is not.
TEST(PlistValue, BinaryDictionaryKeysThatAreNotTextsAreRefused) {
    EXPECT_EQ(PlistValue::fromFileBytes(binaryPlist({"\xD1\x01\x02", "\x51k", "\x09"})),
              PlistValue(PlistValue::Dictionary{{"k", true}}));
    EXPECT_FALSE(PlistValue::fromFileBytes(binaryPlist({"\xD1\x01\x02", "\x08", "\x09"})));
    EXPECT_FALSE(PlistValue::fromFileBytes(binaryPlist({"\xD1\x01\x01", "\xA0"})));
    // UTF-16 "a", a zero character, "b".
    const std::string zeroInside("\x63\x00\x61\x00\x00\x00\x62", 7);
    EXPECT_FALSE(PlistValue::fromFileBytes(binaryPlist({"\xD1\x01\x02", zeroInside, "\x09"})));
    EXPECT_EQ(PlistValue::fromFileBytes(binaryPlist({"\xA1\x01", zeroInside})),
              PlistValue(PlistValue::Array{std::string("a\0b", 3)}))
        << "as a value it is only a text";
}
