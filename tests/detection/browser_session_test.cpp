#include "SessionFileWriters.h"

#include "detection/linux/BrowserSessionFormats.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>

using namespace tallyvox;
using namespace tallyvox::testing;
namespace Formats = BrowserSessionFormats;
using Urls = std::vector<std::string>;

TEST(ChromiumSession, ReplaysNavigationSelectionAndClosing) {
    auto file = SnssWriter()
                    .tabWindow(1, 10)
                    .navigation(10, 0, "https://example.com/")
                    .navigation(10, 1, "https://meet.google.com/abc-defg-hij")
                    .selected(10, 1)
                    .tabWindow(1, 11)
                    .navigation(11, 0, "https://teams.microsoft.com/")
                    .navigation(11, 1, "https://news.example/")
                    .selected(11, 0) // went back
                    .tabWindow(2, 12)
                    .navigation(12, 0, "https://zoom.us/wc/1/join")
                    .windowClosed(2)
                    .tabWindow(1, 13)
                    .navigation(13, 0, "https://closed.example/")
                    .tabClosed(13)
                    .navigation(14, 0, "https://a.example/")
                    .navigation(14, 1, "https://b.example/")
                    .prunedFromBack(14, 1) // b is gone; no selection: the newest left
                    .bytes();
    EXPECT_EQ(Formats::chromiumOpenTabs(file),
              (Urls{"https://meet.google.com/abc-defg-hij", "https://teams.microsoft.com/",
                    "https://a.example/"}));

    // A command cut off at the end is being written: what came before stands.
    auto cut = SnssWriter().navigation(1, 0, "https://teams.live.com/").bytes();
    auto partial = SnssWriter().navigation(2, 0, "https://x.example/").bytes().substr(8, 9);
    EXPECT_EQ(Formats::chromiumOpenTabs(cut + partial), Urls{"https://teams.live.com/"});
    // Unknown commands and a lying string length are skipped.
    auto odd = SnssWriter()
                   .command(99, "whatever")
                   .command(6, std::string("\x10\0\0\0\x01\0\0\0\0\0\0\0\xff\xff\xff\x7f", 16))
                   .navigation(3, 0, "https://ok.example/")
                   .bytes();
    EXPECT_EQ(Formats::chromiumOpenTabs(odd), Urls{"https://ok.example/"});
}

// Pruning as the browser does it: entries after the pruned ones move down and the selection
// follows them, and hostile counts neither overflow nor pick a wrong entry.
TEST(ChromiumSession, PruningMovesTheSelectionWithTheEntries) {
    const std::string meet = "https://meet.google.com/abc-defg-hij";
    auto history = [&](std::int32_t tab) {
        return SnssWriter()
            .navigation(tab, 0, "https://a.example/")
            .navigation(tab, 1, "https://b.example/")
            .navigation(tab, 2, "https://c.example/")
            .navigation(tab, 3, meet)
            .navigation(tab, 4, "https://next.example/");
    };
    // The Meet tab went back from the next page; an earlier entry is pruned.
    EXPECT_EQ(Formats::chromiumOpenTabs(history(1).selected(1, 3).pruned(1, 1, 2).bytes()),
              Urls{meet});
    // The selected entry itself was pruned: the one before it is shown.
    EXPECT_EQ(Formats::chromiumOpenTabs(history(1).selected(1, 2).pruned(1, 2, 2).bytes()),
              Urls{"https://b.example/"});
    // Pruned from the front: the rest and the selection move down alike.
    EXPECT_EQ(Formats::chromiumOpenTabs(history(1).selected(1, 3).prunedFromFront(1, 2).bytes()),
              Urls{meet});
    // Prunes past the end or before the selection change nothing it shows.
    auto file = history(1).selected(1, 3);
    for (int i = 0; i < 100; ++i)
        file.pruned(1, 40, 1).prunedFromBack(1, 5);
    EXPECT_EQ(Formats::chromiumOpenTabs(file.bytes()), Urls{meet});

    constexpr auto most = std::numeric_limits<std::int32_t>::max();
    constexpr auto least = std::numeric_limits<std::int32_t>::min();
    // Counts that would overflow an index remove everything from the index on.
    EXPECT_EQ(Formats::chromiumOpenTabs(history(1).selected(1, 3).pruned(1, 1, most).bytes()),
              Urls{"https://a.example/"});
    EXPECT_EQ(Formats::chromiumOpenTabs(history(1).pruned(1, most, most).bytes()),
              Urls{"https://next.example/"});
    // A selection far below zero stays at the first entry rather than wrapping around.
    EXPECT_EQ(
        Formats::chromiumOpenTabs(history(1).selected(1, least).prunedFromFront(1, 1).bytes()),
        Urls{"https://b.example/"});
    // Negative indices and counts are not prunes.
    EXPECT_EQ(Formats::chromiumOpenTabs(
                  history(1).selected(1, 3).pruned(1, -1, 2).pruned(1, 0, -3).bytes()),
              Urls{meet});
}

TEST(ChromiumSession, ATabKeepsAsManyEntriesAsTheBrowser) {
    SnssWriter file;
    const auto kept = static_cast<std::int32_t>(Formats::maxEntriesPerTab);
    for (std::int32_t i = 0; i < kept + 10; ++i)
        file.navigation(1, i, "https://page" + std::to_string(i) + ".example/");
    // The oldest went, as they do in the browser: a selection of one of them shows the newest.
    EXPECT_EQ(Formats::chromiumOpenTabs(SnssWriter(file).selected(1, 9).bytes()),
              Urls{"https://page" + std::to_string(kept + 9) + ".example/"});
    EXPECT_EQ(Formats::chromiumOpenTabs(SnssWriter(file).selected(1, 10).bytes()),
              Urls{"https://page10.example/"});

    // Many entries and prunes that remove nothing, across tabs: every tab still reads right.
    SnssWriter busy;
    for (std::int32_t i = 0; i < 20000; ++i) {
        busy.navigation(i % 7, i, "https://p" + std::to_string(i) + ".example/");
        busy.pruned(i % 7, i + 1, 1);
    }
    const auto tabs = Formats::chromiumOpenTabs(busy.bytes());
    ASSERT_EQ(tabs.size(), 7u);
    EXPECT_EQ(tabs.front(), "https://p19999.example/");
}

TEST(ChromiumSession, EncryptedUnknownAndForeignFilesAreUnreadable) {
    for (const auto& [bytes, why] : std::vector<std::pair<std::string, std::string>>{
             {SnssWriter(2).bytes(), "encrypted"},
             {SnssWriter(4).bytes(), "encrypted"},
             {SnssWriter(9).bytes(), "unknown session file version 9"},
             {"{\"windows\":[]}", "not a session file"},
             {"", "not a session file"},
             {std::string(Formats::maxFileBytes + 1, 'S'), "too large"}}) {
        try {
            Formats::chromiumOpenTabs(bytes);
            ADD_FAILURE() << "read: " << why;
        } catch (const Formats::SessionFileUnreadable& error) {
            EXPECT_NE(std::string(error.what()).find(why), std::string::npos) << error.what();
        }
    }
}

TEST(FirefoxSession, EachTabShowsItsCurrentEntry) {
    auto json = R"({"windows":[{"tabs":[
        {"entries":[{"url":"https://example.com/"},{"url":"https://meet.google.com/abc-defg-hij"}],"index":2},
        {"entries":[{"url":"https://teams.live.com/"},{"url":"https://later.example/"}],"index":1},
        {"entries":[{"url":"https://no-index.example/"}]},
        {"entries":[{"url":"https://bad-index.example/"}],"index":7},
        {"entries":[]}, 5, {"entries":[{"title":"no url"}]}]}],
      "_closedWindows":[{"tabs":[{"entries":[{"url":"https://zoom.us/wc/1/join"}],"index":1}]}]})";
    const Urls expected{"https://meet.google.com/abc-defg-hij", "https://teams.live.com/",
                        "https://no-index.example/"};
    EXPECT_EQ(Formats::firefoxOpenTabs(json), expected);
    EXPECT_EQ(Formats::firefoxOpenTabs(Formats::mozLz4Decompress(mozLz4(json))), expected);
}

TEST(FirefoxSession, HostileFilesAreRefusedCleanly) {
    auto refused = [](auto&& read) {
        try {
            read();
        } catch (const Formats::SessionFileUnreadable&) {
            return true;
        }
        return false;
    };
    std::string deep =
        std::string(Formats::maxJsonDepth + 1, '[') + std::string(Formats::maxJsonDepth + 1, ']');
    EXPECT_TRUE(refused([&] { Formats::firefoxOpenTabs(deep); }));
    std::string fine =
        std::string(Formats::maxJsonDepth, '[') + std::string(Formats::maxJsonDepth, ']');
    EXPECT_FALSE(refused([&] { Formats::firefoxOpenTabs(fine); }));
    EXPECT_TRUE(refused([] { Formats::firefoxOpenTabs("{\"windows\":[{"); }));

    auto good = mozLz4(R"({"windows":[]})");
    EXPECT_TRUE(refused([&] { Formats::mozLz4Decompress(good.substr(0, good.size() - 3)); }));
    auto huge = good;
    huge[8] = huge[9] = huge[10] = huge[11] = '\xff'; // claims 4 GiB
    EXPECT_TRUE(refused([&] { Formats::mozLz4Decompress(huge); }));
    EXPECT_TRUE(refused([] { Formats::mozLz4Decompress("mozLz40"); }));
    EXPECT_TRUE(
        refused([] { Formats::mozLz4Decompress(std::string("mozLz40\0\x05\0\0\0\xf0", 13)); }));
}

// The reader follows the document as it is parsed: a repeated key counts as its last value,
// odd values where tabs are expected are skipped, and hostile shapes are read in one pass.
TEST(FirefoxSession, ValuesAreTakenFromWhereTheyStand) {
    EXPECT_EQ(Formats::firefoxOpenTabs(R"({"windows":[{"tabs":[{"entries":[{"url":"https://a/"}],
        "index":1}]}], "windows":[{"tabs":[{"entries":[{"url":"https://b/","url":7},
        {"url":"https://c/"}],"index":1,"index":"x"}]}]})"),
              Urls{"https://c/"});
    EXPECT_EQ(Formats::firefoxOpenTabs(R"({"windows":[{"tabs":[{"entries":[{"url":"https://a/"}]}],
        "tabs":[{"entries":[{"url":"https://b/"}],"entries":[{"url":"https://c/"},
        {"url":"https://d/"}],"index":1}]}]})"),
              Urls{"https://c/"});
    // Addresses elsewhere do not count: closed windows, nested lookalikes, an unsigned index
    // beyond any entry, a float index (the last entry), and a root that is no object.
    EXPECT_EQ(Formats::firefoxOpenTabs(R"({"_closedWindows":[{"tabs":[{"entries":[{"url":"x"}]}]}],
        "windows":[{"tabs":[{"entries":[{"url":"https://e/","children":[{"url":"https://f/"}]}],
        "extra":{"entries":[{"url":"https://g/"}]}},
        {"entries":[{"url":"https://h/"}],"index":18446744073709551615},
        {"entries":[{"url":"https://i/"},{"url":"https://j/"}],"index":1.0}]}]})"),
              (Urls{"https://e/", "https://j/"}));
    EXPECT_TRUE(Formats::firefoxOpenTabs(R"([{"windows":[]}])").empty());

    // Many empty objects beside a Meet tab, as a hostile file may hold.
    std::string crowded = R"({"windows":[{"tabs":[{"entries":[{"url":"https://meet.google.com/)"
                          R"(abc-defg-hij"}],"index":1,"junk":[)";
    for (int i = 0; i < 300000; ++i)
        crowded += i ? ",{}" : "{}";
    crowded += "]}]}]}";
    EXPECT_EQ(Formats::firefoxOpenTabs(Formats::mozLz4Decompress(mozLz4(crowded))),
              Urls{"https://meet.google.com/abc-defg-hij"});
    EXPECT_THROW(Formats::firefoxOpenTabs(crowded + "}"), Formats::SessionFileUnreadable);
}

// Random damage to real-shaped files: every outcome is either tabs or a clean refusal.
TEST(BrowserSessionFuzz, DamagedFilesNeverCrashTheReaders) {
    const std::string snss = SnssWriter()
                                 .tabWindow(1, 10)
                                 .navigation(10, 0, "https://meet.google.com/abc-defg-hij")
                                 .selected(10, 0)
                                 .prunedFromBack(10, 3)
                                 .tabClosed(11)
                                 .bytes();
    const std::string json =
        R"({"windows":[{"tabs":[{"entries":[{"url":"https://teams.live.com/"}],"index":1}]}]})";
    const std::string lz4 = mozLz4(json);
    std::mt19937 random(20261208);
    auto damage = [&](std::string bytes) {
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int i = 0; i < edits && !bytes.empty(); ++i) {
            const auto at = random() % bytes.size();
            switch (random() % 4) {
            case 0:
                bytes[at] = static_cast<char>(random());
                break;
            case 1:
                bytes.erase(at, 1 + random() % 16);
                break;
            case 2:
                bytes.insert(at, std::string(1 + random() % 8, static_cast<char>(random())));
                break;
            default:
                bytes.resize(at);
                break;
            }
        }
        return bytes;
    };
    int refusals = 0;
    for (int round = 0; round < 20000; ++round) {
        for (int kind = 0; kind < 3; ++kind) {
            try {
                if (kind == 0)
                    Formats::chromiumOpenTabs(damage(snss));
                else if (kind == 1)
                    Formats::firefoxOpenTabs(damage(json));
                else
                    Formats::firefoxOpenTabs(Formats::mozLz4Decompress(damage(lz4)));
            } catch (const Formats::SessionFileUnreadable&) {
                ++refusals;
            }
        }
    }
    EXPECT_GT(refusals, 0);
}
