#include "session/SessionHarness.h"

#include "fakes/Lines.h"

using namespace tallyvox;
using namespace tallyvox::testing;
namespace Key = SettingsManager::Key;

namespace {

// A running meeting whose voices the scripted diarizer numbers as each test says.
class SessionSpeakers : public SessionHarness {
protected:
    void startMeeting() {
        defaults.set(Key::diarize, true);
        fakes.loadDiarizer = diarizerLoader(voices);
        launch();
        manager->start(zoom, confirmed(zoom));
        executor.runUntilIdle();
    }
    void say(int speaker, const std::string& text, double seconds = 3) {
        voices->pushSpeakers({speaker});
        speak(text, seconds);
    }
    std::vector<std::optional<int>> speakers() const {
        std::vector<std::optional<int>> out;
        for (const auto& line : manager->live().segments.get())
            out.push_back(line.speaker);
        return out;
    }

    std::shared_ptr<DiarizerScript> voices = std::make_shared<DiarizerScript>();
};

} // namespace

TEST_F(SessionSpeakers, RosterNamesTheOneVoiceUntilASecondIsHeardAndTypedNamesWin) {
    startMeeting();
    defaults.set(Key::myName, "Ada Lovelace");
    manager->live().setRoster(
        {"  Ann Bell\t", "", "\u00A0\u3000", "lovelace, ADA\u2028", "bell ann"});
    EXPECT_EQ(manager->live().roster.get(),
              (std::vector<std::string>{"Ann Bell", "lovelace, ADA", "bell ann"}));
    EXPECT_EQ(manager->live().rosterOthers(), std::vector<std::string>{"Ann Bell"});

    say(2, "Ann talks at length.", 6);
    say(2, "And goes on.", 6);
    EXPECT_EQ(manager->live().speakerName(2), "Speaker C (Unidentified)")
        << "11 s is not proof yet";
    say(2, "And on.", 6);
    EXPECT_EQ(manager->live().speakerName(2), "Ann Bell");
    EXPECT_EQ(fileText(), expectedText());
    EXPECT_TRUE(contains(fileText(), "Ann Bell"));

    manager->live().rename(2, "  Dr Bell\n");
    EXPECT_EQ(manager->live().speakerName(2), "Dr Bell");
    manager->live().rename(2, " \n ");
    EXPECT_EQ(manager->live().speakerName(2), "Ann Bell") << "a blank name brings the match back";
    for (const auto* blank : {"\u00A0", "\u2028", "\u0085", "\u3000", "\x1b\u2029"}) {
        manager->live().rename(2, "Dr Bell");
        manager->live().rename(2, blank);
        EXPECT_FALSE(manager->live().speakerNames.get().contains(2)) << blank;
        EXPECT_EQ(manager->live().speakerName(2), "Ann Bell") << blank;
    }
    manager->live().rename(2, std::string("\u3000\x1b[31mDr\0 Bell\u2028", 19));
    EXPECT_EQ(manager->live().speakerName(2), "[31mDr Bell");
    EXPECT_FALSE(contains(fileText(), "\x1b"));
    EXPECT_TRUE(contains(fileText(), "[31mDr Bell"));
    manager->live().rename(2, "");

    EXPECT_EQ(manager->live().speakerName(std::nullopt), "Unidentified");
    defaults.set(Key::myName, " \t\u3000\u00A0");
    EXPECT_EQ(manager->live().speakerName(TranscriptSegment::you), "You");
    manager->live().rename(TranscriptSegment::room, "Meeting room");
    EXPECT_EQ(manager->live().speakerName(TranscriptSegment::room), "Meeting room");
    EXPECT_EQ(manager->live().speakerName(2), "Speaker C (Unidentified)")
        << "the rename recomputed: without the user's own name, Ada is one more invitee";
    defaults.set(Key::myName, "Ada Lovelace");
    manager->live().updateMatches();
    EXPECT_EQ(manager->live().speakerName(2), "Ann Bell");

    say(4, "Someone else.");
    EXPECT_EQ(manager->live().speakerName(2), "Speaker C (Unidentified)");
    EXPECT_EQ(manager->live().speakerName(4), "Speaker E (Unidentified)");
    EXPECT_EQ(fileText(), expectedText());
}

TEST_F(SessionSpeakers, MergesFollowChainsAndLaterLinesArriveMerged) {
    startMeeting();
    say(0, "Zero speaks.");
    say(1, "One speaks.");
    say(3, "Three speaks.");
    manager->live().rename(3, "Cleo");
    manager->live().rename(1, "Bo");

    manager->live().merge(3, 1);
    EXPECT_EQ(manager->live().speakerNames.get(), (std::map<int, std::string>{{1, "Bo"}}))
        << "a speaker that has a name keeps it";
    manager->live().merge(1, 0);
    EXPECT_EQ(manager->live().aliases(), (std::map<int, int>{{1, 0}, {3, 0}}));
    EXPECT_EQ(manager->live().speakerNames.get(), (std::map<int, std::string>{{0, "Bo"}}))
        << "and one without takes the merged speaker's";
    EXPECT_EQ(speakers(), (std::vector<std::optional<int>>{0, 0, 0}));

    say(3, "Three again.");
    EXPECT_EQ(speakers().back(), 0);
    EXPECT_EQ(manager->live().knownSpeakers(), std::vector<int>{0});
    EXPECT_EQ(fileText(), expectedText());

    auto before = fileText();
    manager->live().merge(0, 0);
    EXPECT_EQ(manager->live().aliases(), (std::map<int, int>{{1, 0}, {3, 0}}));
    EXPECT_EQ(fileText(), before);

    manager->live().merge(0, 3);
    EXPECT_EQ(manager->live().aliases(), (std::map<int, int>{{0, 3}, {1, 3}}));
    EXPECT_EQ(manager->live().speakerName(3), "Bo");
    say(3, "Three is back.");
    EXPECT_EQ(speakers().back(), 3);
}

TEST_F(SessionSpeakers, ReassignedLinesTakeTheNextHandAddedNumber) {
    startMeeting();
    say(0, "First.");
    say(0, "Second.");
    say(0, "Third.");
    auto ids = [&] {
        std::vector<Uuid> out;
        for (const auto& line : manager->live().segments.get())
            out.push_back(line.id);
        return out;
    }();

    manager->live().reassign(ids[0], std::nullopt);
    EXPECT_EQ(speakers(), (std::vector<std::optional<int>>{500, 0, 0}));
    manager->live().reassign(ids[1], 502);
    manager->live().reassign(ids[2], std::nullopt);
    EXPECT_EQ(speakers(), (std::vector<std::optional<int>>{500, 502, 503}));
    EXPECT_TRUE(manager->live().aliases().empty());
    EXPECT_EQ(manager->live().speakerName(503), "Speaker 4 (added)");
    EXPECT_EQ(fileText(), expectedText());

    manager->live().reassign(Uuid::random(), 7);
    EXPECT_EQ(speakers(), (std::vector<std::optional<int>>{500, 502, 503}));
}

TEST_F(SessionSpeakers, FixWordRewritesEveryLineCountsTheFixesAndLearnsTheWord) {
    startMeeting();
    say(0, "Deploy to cuber netties.");
    say(1, "Kubernetty is fine, kubernetty scales.");
    say(0, "Cuber too.");

    EXPECT_EQ(manager->live().fixWord("  kubernetty ", " Kubernetes\n"), 2);
    EXPECT_EQ(texts(manager->live().segments.get())[1], "Kubernetes is fine, Kubernetes scales.");
    EXPECT_EQ(manager->live().fixWord("cuber", "Cube"), 2);
    EXPECT_EQ(manager->live().record.get()->wordFixes, 4);
    EXPECT_TRUE(contains(fileText(), "4 word fixes by the user"));
    EXPECT_EQ(fileText(), expectedText());

    EXPECT_EQ(manager->live().fixWord("Kubernetes", "Kubernetes"), 2)
        << "fixed twice, it is learned";
    EXPECT_EQ(SettingsManager::learnedWords(stores), std::vector<std::string>{"Kubernetes"});

    auto before = fileText();
    EXPECT_EQ(manager->live().fixWord("absent", "present"), 0);
    EXPECT_EQ(manager->live().fixWord("", "present"), 0);
    EXPECT_EQ(manager->live().record.get()->wordFixes, 6);
    EXPECT_EQ(fileText(), before);
}

TEST_F(SessionSpeakers, ExportsSitBesideTheTranscriptAndFailuresAreSaidNotShown) {
    launch();
    EXPECT_EQ(manager->live().exportTranscript(ExportFormat::srt), std::nullopt)
        << "nothing to export";
    startMeeting();
    say(0, "First words.");
    manager->live().rename(0, "Asha");
    auto file = manager->live().record.get()->filePath;

    auto srt = manager->live().exportTranscript(ExportFormat::srt);
    ASSERT_TRUE(srt);
    EXPECT_EQ(srt->parent_path(), file.parent_path());
    EXPECT_EQ(srt->stem(), file.stem());
    EXPECT_EQ(srt->extension(), ".srt");
    EXPECT_TRUE(contains(*readWholeFile(*srt), "Asha: First words."));
    EXPECT_EQ(fakes.revealed, std::vector{*srt});

    // The folder is gone: the user hears why, the file manager shows nothing.
    std::filesystem::remove_all(file.parent_path());
    std::filesystem::create_directories(file.parent_path().parent_path());
    writeFileAtomically(file.parent_path(), "not a folder");
    EXPECT_EQ(manager->live().exportTranscript(ExportFormat::markdown), std::nullopt);
    ASSERT_TRUE(manager->lastError.get());
    EXPECT_TRUE(manager->lastError.get()->starts_with("Export failed: "));
    EXPECT_EQ(fakes.revealed.size(), 1u);
}

TEST_F(SessionSpeakers, WordAndPdfExportsSitBesideTheTranscriptWithTheNamesShown) {
    startMeeting();
    say(0, "Numbers first.");
    manager->live().rename(0, "Asha");
    auto file = manager->live().record.get()->filePath;

    auto docx = manager->live().exportTranscript(ExportFormat::word);
    auto pdf = manager->live().exportTranscript(ExportFormat::pdf);
    ASSERT_TRUE(docx && pdf) << manager->lastError.get().value_or("");
    EXPECT_EQ(*docx, std::filesystem::path(file).replace_extension(".docx"));
    EXPECT_EQ(*pdf, std::filesystem::path(file).replace_extension(".pdf"));
    EXPECT_TRUE(readWholeFile(*docx)->starts_with("PK\x03\x04"));
    EXPECT_TRUE(readWholeFile(*pdf)->starts_with("%PDF-"));
    EXPECT_EQ(fakes.revealed, (std::vector{*docx, *pdf}));
    EXPECT_EQ(manager->lastError.get(), std::nullopt);
}

TEST_F(SessionSpeakers, NamesGivenToTheTranscriptReachTheFinalFileAndLaterEditsStillSave) {
    startMeeting();
    say(1, "Welcome, everyone.");
    auto& live = manager->live();
    live.rename(1, "Bea");
    EXPECT_TRUE(contains(fileText(), "Bea:\nWelcome, everyone.")) << "saved as soon as renamed";

    manager->stop();
    executor.runUntilIdle();
    ASSERT_FALSE(manager->finishing.get());
    EXPECT_EQ(manager->savedTranscript.get(), live.record.get()->filePath);
    EXPECT_EQ(fileText(), expectedText()) << "the finish wrote the names the transcript holds";
    EXPECT_TRUE(contains(fileText(), "Bea:\nWelcome, everyone."));

    // The last session stays open for corrections after its finish.
    live.rename(1, "Cleo");
    EXPECT_TRUE(contains(fileText(), "Cleo:\nWelcome, everyone."));
    EXPECT_EQ(live.fixWord("Welcome", "Hello"), 1);
    EXPECT_EQ(fileText(), expectedText());
    EXPECT_EQ(live.record.get()->wordFixes, 1);
}
