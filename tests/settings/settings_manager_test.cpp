#include "settings/SettingsManager.h"

#include "base/AtomicFile.h"
#include "fakes/TempDir.h"
#include "session/EngineSettings.h"
#include "settings/ProtectedSettings.h"
#include "types/ModelSpeed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace tallyvox;
using tallyvox::testing::ScopedEnv;
using tallyvox::testing::TempDir;
namespace fs = std::filesystem;
namespace Key = SettingsManager::Key;

namespace {
constexpr std::uint64_t GiB = 1024ull * 1024 * 1024;

// Preferences and protected file in a temporary folder.
struct Stores {
    TempDir dir;
    UserDefaults defaults{dir / "config/preferences.plist"};
    SettingsStores stores{defaults, dir / "Documents/Tallyvox/.settings.plist"};
};
} // namespace

TEST(SettingsManager, RegisteredDefaults) {
    Stores s;
    EXPECT_FALSE(SettingsManager::autoDetect(s.stores)) << "missing before registration";
    SettingsManager::registerDefaults(s.stores, "Ada Lovelace");

    for (auto key : {Key::autoDetect, Key::detectZoom, Key::detectTeams, Key::detectWeb,
                     Key::detectMeet, Key::diarize, Key::consentReminder, Key::followMute})
        EXPECT_TRUE(s.defaults.boolValue(key)) << key;
    EXPECT_FALSE(s.defaults.boolValue(Key::includeMic));
    EXPECT_FALSE(SettingsManager::useCalendar(s.stores));
    EXPECT_EQ(SettingsManager::deleteAfterDays(s.stores), 0);
    EXPECT_EQ(SettingsManager::myName(s.stores), "Ada Lovelace");
    EXPECT_EQ(s.defaults.stringValue(Key::language), "en+hi");
    EXPECT_EQ(s.defaults.doubleValue(Key::chunkSeconds), 20.0);
    EXPECT_EQ(s.defaults.stringValue(Key::vocabulary).size(), 118u);
    EXPECT_EQ(SettingsManager::model(s.stores), SettingsManager::recommendedModel());
    EXPECT_FALSE(s.defaults.object(Key::accuracyDefaultsApplied));
    EXPECT_FALSE(fs::exists(s.defaults.file())) << "registration writes nothing";
}

TEST(SettingsManager, DetectsFollowsEachPlatformsSwitch) {
    Stores s;
    s.defaults.set(Key::detectZoom, true);
    s.defaults.set(Key::detectTeams, false);
    s.defaults.set(Key::detectMeet, true);
    EXPECT_TRUE(SettingsManager::detects(Platform::zoom, s.stores));
    EXPECT_FALSE(SettingsManager::detects(Platform::teams, s.stores));
    EXPECT_TRUE(SettingsManager::detects(Platform::meet, s.stores));
}

TEST(SettingsManager, RecommendedModelByMemory) {
    EXPECT_EQ(SettingsManager::recommendedModel(16 * GiB), WhisperModel::turbo);
    EXPECT_EQ(SettingsManager::recommendedModel(8 * GiB), WhisperModel::turbo);
    EXPECT_EQ(SettingsManager::recommendedModel(8 * GiB - 1), WhisperModel::small);
    EXPECT_GT(SettingsManager::physicalMemory(), 0u);
}

TEST(SettingsManager, UnknownStoredModelFallsBackToTheRecommendedOne) {
    Stores s;
    s.defaults.set(Key::model, "medium");
    EXPECT_EQ(SettingsManager::model(s.stores), WhisperModel::medium);
    s.defaults.set(Key::model, "large-v9");
    EXPECT_EQ(SettingsManager::model(s.stores), SettingsManager::recommendedModel());
    s.defaults.set(Key::model, 3);
    EXPECT_EQ(SettingsManager::model(s.stores), SettingsManager::recommendedModel());
}

TEST(SettingsManager, CheckedLanguage) {
    using SessionSettings::checkedLanguage;
    EXPECT_EQ(checkedLanguage(std::nullopt), "en+hi");
    EXPECT_EQ(checkedLanguage("auto"), "auto");
    EXPECT_EQ(checkedLanguage("en+xx"), "en+hi");
    EXPECT_EQ(checkedLanguage("de+fr"), "de+fr");
    EXPECT_EQ(checkedLanguage("de++"), "de++") << "empty pieces are dropped, text kept";
    EXPECT_EQ(checkedLanguage(""), "en+hi");
    EXPECT_EQ(checkedLanguage("+"), "en+hi");
}

TEST(SettingsManager, TranscriptionOptionsClampTheChunkAndAddLearnedWords) {
    Stores s;
    EXPECT_EQ(SessionSettings::transcriptionOptions(s.stores).chunkSeconds, 5) << "missing";
    s.defaults.set(Key::chunkSeconds, 60.0);
    EXPECT_EQ(SessionSettings::transcriptionOptions(s.stores).chunkSeconds, 28);
    s.defaults.set(Key::chunkSeconds, 3.0);
    EXPECT_EQ(SessionSettings::transcriptionOptions(s.stores).chunkSeconds, 5);
    s.defaults.set(Key::chunkSeconds, 12);
    EXPECT_EQ(SessionSettings::transcriptionOptions(s.stores).chunkSeconds, 12);

    s.defaults.set(Key::model, "base");
    s.defaults.set(Key::language, "en+xx");
    s.defaults.set(Key::vocabulary, "Quarterly review.");
    s.defaults.set(Key::diarize, false);
    ProtectedSettings::set(PlistValue(PlistValue::Array{"Grafana"}), Key::learnedWords,
                           s.stores.protectedFile);
    auto options = SessionSettings::transcriptionOptions(s.stores);
    EXPECT_EQ(options.model, WhisperModel::base);
    EXPECT_EQ(options.language, "en+hi");
    EXPECT_EQ(options.vocabulary, "Quarterly review. Also: Grafana.");
    EXPECT_FALSE(options.diarize);
}

TEST(SettingsManager, ProtectedValuesWithTheirDefaults) {
    Stores s;
    ScopedEnv home("HOME", s.dir.path().string());
    ScopedEnv config("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_FALSE(SettingsManager::includeMic(s.stores));
    EXPECT_TRUE(SettingsManager::followMute(s.stores));
    EXPECT_EQ(SettingsManager::saveRoot(s.stores), s.dir / "Documents/Tallyvox");

    auto set = [&](std::string_view key, PlistValue value) {
        ProtectedSettings::set(value, key, s.stores.protectedFile);
    };
    set(Key::includeMic, "yes");
    set(Key::followMute, 0);
    EXPECT_FALSE(SettingsManager::includeMic(s.stores)) << "not a Bool";
    EXPECT_TRUE(SettingsManager::followMute(s.stores)) << "not a Bool";
    set(Key::includeMic, true);
    set(Key::followMute, false);
    EXPECT_TRUE(SettingsManager::includeMic(s.stores));
    EXPECT_FALSE(SettingsManager::followMute(s.stores));

    set(Key::saveLocation, "/srv/transcripts");
    EXPECT_EQ(SettingsManager::saveRoot(s.stores), "/srv/transcripts");
    for (auto unusable : {"", "relative/folder"}) {
        set(Key::saveLocation, unusable);
        EXPECT_EQ(SettingsManager::saveRoot(s.stores), s.dir / "Documents/Tallyvox") << unusable;
    }
}

TEST(SettingsManager, NegativeRetentionMeansNever) {
    Stores s;
    s.defaults.set(Key::deleteAfterDays, -3);
    EXPECT_EQ(SettingsManager::deleteAfterDays(s.stores), 0);
    s.defaults.set(Key::deleteAfterDays, 30);
    EXPECT_EQ(SettingsManager::deleteAfterDays(s.stores), 30);
}

TEST(SettingsManagerAccuracy, UpgradesOnce) {
    Stores s;
    TempDir data;
    ScopedEnv xdgData("XDG_DATA_HOME", data.path().string());
    s.defaults.set(Key::language, "auto");
    s.defaults.set(Key::chunkSeconds, 10.0);
    s.defaults.set(Key::model, "small");

    SettingsManager::applyAccuracyDefaults(s.stores);
    EXPECT_TRUE(s.defaults.boolValue(Key::accuracyDefaultsApplied));
    EXPECT_EQ(s.defaults.stringValue(Key::language), "en+hi");
    EXPECT_EQ(s.defaults.doubleValue(Key::chunkSeconds), 20.0);
    EXPECT_EQ(s.defaults.stringValue(Key::model), "small");

    s.defaults.set(Key::language, "auto");
    s.defaults.set(Key::chunkSeconds, 10.0);
    SettingsManager::applyAccuracyDefaults(s.stores);
    EXPECT_EQ(s.defaults.stringValue(Key::language), "auto") << "runs only once";
    EXPECT_EQ(s.defaults.doubleValue(Key::chunkSeconds), 10.0);
}

TEST(SettingsManagerAccuracy, MissingValuesAreHandledAsTheRulesSay) {
    Stores s;
    SettingsManager::applyAccuracyDefaults(s.stores);
    EXPECT_FALSE(s.defaults.object(Key::language)) << "a missing language is left alone";
    EXPECT_EQ(s.defaults.object(Key::chunkSeconds), PlistValue(20.0)) << "missing reads 0";
}

TEST(SettingsManagerAccuracy, MediumBecomesTurboOnlyWhenTurboIsDownloaded) {
    TempDir data;
    ScopedEnv xdgData("XDG_DATA_HOME", data.path().string());
    {
        Stores s;
        s.defaults.set(Key::model, "medium");
        SettingsManager::applyAccuracyDefaults(s.stores);
        EXPECT_EQ(SettingsManager::model(s.stores), WhisperModel::medium);
    }

    WhisperModel turbo = WhisperModel::turbo;
    fs::create_directories(WhisperModel::directory());
    writeFileAtomically(turbo.localPath(), "");
    fs::resize_file(turbo.localPath(), static_cast<std::uintmax_t>(turbo.minimumBytes()));
    ASSERT_TRUE(turbo.isDownloaded());
    {
        Stores s;
        s.defaults.set(Key::model, "medium");
        SettingsManager::applyAccuracyDefaults(s.stores);
        EXPECT_EQ(s.defaults.stringValue(Key::model), "large-v3-turbo-q5_0");
    }
    {
        Stores s;
        s.defaults.set(Key::model, "base");
        SettingsManager::applyAccuracyDefaults(s.stores);
        EXPECT_EQ(s.defaults.stringValue(Key::model), "base");
    }
}

TEST(SettingsManagerWords, LearnsOnTheSecondFixAndForgets) {
    Stores s;
    EXPECT_FALSE(SettingsManager::hasFixMemory(s.stores));
    SettingsManager::noteFix("grafana", s.stores);
    EXPECT_TRUE(SettingsManager::hasFixMemory(s.stores)) << "one counted fix";
    EXPECT_TRUE(SettingsManager::learnedWords(s.stores).empty());
    EXPECT_EQ(ProtectedSettings::value(Key::fixCounts, s.stores.protectedFile),
              PlistValue(PlistValue::Dictionary{{"grafana", 1}}));

    SettingsManager::noteFix("Grafana", s.stores);
    SettingsManager::noteFix("Kubernetes", s.stores);
    SettingsManager::noteFix("Kubernetes", s.stores);
    EXPECT_EQ(SettingsManager::learnedWords(s.stores),
              (std::vector<std::string>{"Grafana", "Kubernetes"}));
    EXPECT_EQ(SessionSettings::transcriptionOptions(s.stores).vocabulary,
              "Also: Grafana, Kubernetes.")
        << "nothing registered, so the vocabulary is empty";

    SettingsManager::forget("grafana", s.stores);
    EXPECT_EQ(SettingsManager::learnedWords(s.stores).size(), 2u) << "forgetting is exact";
    SettingsManager::forget("Grafana", s.stores);
    EXPECT_EQ(SettingsManager::learnedWords(s.stores), std::vector<std::string>{"Kubernetes"});

    SettingsManager::noteFix("Prometheus", s.stores);
    SettingsManager::forgetAllWords(s.stores);
    EXPECT_FALSE(SettingsManager::hasFixMemory(s.stores));
    auto content = ProtectedSettings::load(s.stores.protectedFile);
    ASSERT_TRUE(content);
    EXPECT_FALSE(content->count(Key::learnedWords));
    EXPECT_FALSE(content->count(Key::fixCounts));
}

TEST(SettingsManagerWords, WronglyTypedMemoryCountsAsEmpty) {
    Stores s;
    ProtectedSettings::set(PlistValue("grafana"), Key::fixCounts, s.stores.protectedFile);
    ProtectedSettings::set(PlistValue(7), Key::learnedWords, s.stores.protectedFile);
    EXPECT_FALSE(SettingsManager::hasFixMemory(s.stores));
    SettingsManager::noteFix("Grafana", s.stores);
    EXPECT_TRUE(SettingsManager::learnedWords(s.stores).empty()) << "a first fix only counts";
    EXPECT_EQ(ProtectedSettings::value(Key::fixCounts, s.stores.protectedFile),
              PlistValue(PlistValue::Dictionary{{"grafana", 1}}));
}

namespace tallyvox {
namespace {

// A machine on which `model` needs exactly `factor` seconds per second of audio with the
// meeting and the microphone both speaking.
MachineSpeed speedWhere(WhisperModel model, double factor) {
    return {ModelSpeed::windowWork(model) * 2 / ModelSpeed::windowSeconds / factor, 2, "cpu"};
}

TEST(RecommendedModel, MostAccurateThatKeepsUpWithMeetingAndMicrophone) {
    using SettingsManager::keepUpFactor;
    using SettingsManager::recommendedModel;
    const std::uint64_t plenty = 32 * GiB;
    EXPECT_EQ(recommendedModel(plenty, speedWhere(WhisperModel::turbo, keepUpFactor)),
              WhisperModel::turbo)
        << "exactly at the margin keeps up";
    // Medium costs as much as Turbo (measured): when Turbo misses, so does Medium.
    EXPECT_EQ(recommendedModel(plenty, speedWhere(WhisperModel::turbo, keepUpFactor * 1.01)),
              WhisperModel::small);
    EXPECT_EQ(recommendedModel(plenty, speedWhere(WhisperModel::medium, keepUpFactor * 0.99)),
              WhisperModel::turbo)
        << "a machine fast enough for Medium is fast enough for the more accurate Turbo";
    EXPECT_EQ(recommendedModel(plenty, speedWhere(WhisperModel::small, keepUpFactor)),
              WhisperModel::small);
    EXPECT_EQ(recommendedModel(plenty, speedWhere(WhisperModel::base, keepUpFactor * 0.9)),
              WhisperModel::base);
    EXPECT_EQ(recommendedModel(plenty, speedWhere(WhisperModel::tiny, 3.0)), WhisperModel::tiny)
        << "a machine too slow for every model still gets the fastest";
    EXPECT_EQ(recommendedModel(plenty, MachineSpeed{0, 2, "cpu"}), WhisperModel::tiny);

    // The figures of the 2-core machine the table was measured on: Base.
    EXPECT_EQ(recommendedModel(24 * GiB, MachineSpeed{66, 2, "cpu"}), WhisperModel::base);

    // Memory stays the second condition: a fast machine with little memory stops at Small.
    EXPECT_EQ(recommendedModel(4 * GiB, speedWhere(WhisperModel::turbo, 0.01)),
              WhisperModel::small);
    EXPECT_EQ(recommendedModel(4 * GiB, speedWhere(WhisperModel::base, keepUpFactor)),
              WhisperModel::base);
    EXPECT_EQ(recommendedModel(4 * GiB, std::nullopt), WhisperModel::small);
    EXPECT_EQ(recommendedModel(plenty, std::nullopt), WhisperModel::turbo)
        << "never probed: memory alone";
}

TEST(RecommendedModel, AFasterModelIsClearlyFasterAndPredictedToKeepUp) {
    EXPECT_LT(ModelSpeed::windowWork(WhisperModel::tiny),
              ModelSpeed::windowWork(WhisperModel::base));
    EXPECT_LT(ModelSpeed::windowWork(WhisperModel::base),
              ModelSpeed::windowWork(WhisperModel::small));
    EXPECT_LT(ModelSpeed::windowWork(WhisperModel::small),
              std::min(ModelSpeed::windowWork(WhisperModel::medium),
                       ModelSpeed::windowWork(WhisperModel::turbo)));

    const double limit = SettingsManager::keepUpFactor;
    const auto slowForSmall = speedWhere(WhisperModel::base, limit);
    EXPECT_EQ(ModelSpeed::fasterThan(WhisperModel::turbo, slowForSmall, 2, limit),
              WhisperModel::base)
        << "Medium is no faster than Turbo, so it is never the advice";
    EXPECT_EQ(ModelSpeed::fasterThan(WhisperModel::medium, slowForSmall, 2, limit),
              WhisperModel::base);
    EXPECT_EQ(ModelSpeed::fasterThan(WhisperModel::small, slowForSmall, 1, limit),
              WhisperModel::base)
        << "the meeting alone halves the work, but Small still needs more than Base";
    EXPECT_EQ(ModelSpeed::fasterThan(WhisperModel::base, slowForSmall, 2, limit),
              WhisperModel::tiny)
        << "nothing predicted to keep up below the current: the fastest";
    EXPECT_EQ(ModelSpeed::fasterThan(WhisperModel::tiny, slowForSmall, 2, limit), std::nullopt);
    EXPECT_EQ(ModelSpeed::fasterThan(WhisperModel::turbo, std::nullopt, 2, limit),
              WhisperModel::small)
        << "without a figure, the most accurate clearly faster one";
}

} // namespace
} // namespace tallyvox

namespace tallyvox {
namespace {

TEST(DefaultModel, NeverOneMissingWhileAnotherIsDownloaded) {
    using SettingsManager::defaultModel;
    auto have = [](std::vector<WhisperModel> models) {
        return [models](WhisperModel model) {
            return std::find(models.begin(), models.end(), model) != models.end();
        };
    };
    EXPECT_EQ(defaultModel(WhisperModel::small, have({WhisperModel::small, WhisperModel::base})),
              WhisperModel::small);
    EXPECT_EQ(defaultModel(WhisperModel::small, have({WhisperModel::base})), WhisperModel::base);
    EXPECT_EQ(defaultModel(WhisperModel::small, have({WhisperModel::tiny, WhisperModel::turbo})),
              WhisperModel::tiny)
        << "a model slower than the recommended one would not keep up";
    EXPECT_EQ(defaultModel(WhisperModel::base, have({WhisperModel::turbo, WhisperModel::medium})),
              WhisperModel::medium)
        << "only slower ones: the nearest";
    EXPECT_EQ(defaultModel(WhisperModel::small, have({})), WhisperModel::small)
        << "nothing downloaded: the one to download";
}

// A new speed figure moved the default from the downloaded Base to Small, which was not
// downloaded, and every meeting was refused.
TEST(DefaultModel, StaysTheDownloadedOneAndOnceUsedIgnoresNewFigures) {
    Stores s;
    ScopedEnv data{"XDG_DATA_HOME", (s.dir / "data").string()};
    const auto base = WhisperModel(WhisperModel::base).localPath();
    fs::create_directories(base.parent_path());
    writeFileAtomically(base, "");
    fs::resize_file(base, WhisperModel(WhisperModel::base).minimumBytes());

    SettingsManager::registerDefaults(s.stores, "Ada", WhisperModel::small);
    EXPECT_EQ(SettingsManager::model(s.stores), WhisperModel::base);
    EXPECT_FALSE(fs::exists(s.defaults.file())) << "not stored before it is used";

    SettingsManager::keepModel(WhisperModel::base, s.stores);
    SettingsManager::registerDefaultModel(s.stores, WhisperModel::tiny,
                                          [](WhisperModel) { return true; });
    EXPECT_EQ(SettingsManager::model(s.stores), WhisperModel::base)
        << "a model once used stays until the user chooses another";

    s.defaults.set(Key::model, "large-v9");
    SettingsManager::keepModel(WhisperModel::tiny, s.stores);
    EXPECT_EQ(s.defaults.stringValue(Key::model), "large-v9")
        << "a choice this version does not know is the user's, and stays stored";
}

TEST(RecommendedModel, CountsWhatIsOnAndPrefersWhatSessionsMeasured) {
    using SettingsManager::keepUpFactor;
    using SettingsManager::recommendedModel;
    const std::uint64_t plenty = 32 * GiB;
    // Small needs 0.9 with the microphone on, 0.45 without; Base 0.3 with it.
    auto speed = speedWhere(WhisperModel::small, 0.9);
    EXPECT_EQ(recommendedModel(plenty, speed, 2), WhisperModel::base);
    EXPECT_EQ(recommendedModel(plenty, speed, 1), WhisperModel::small)
        << "the microphone off halves the work";
    EXPECT_NEAR(ModelSpeed::predictedFactor(WhisperModel::small, speed, 1, true),
                0.45 + ModelSpeed::speakerWork / speed.gflops, 1e-9);
    EXPECT_EQ(recommendedModel(plenty, speed, 1, true), WhisperModel::base)
        << "speaker labelling takes the rest of the margin";

    // Sessions measured what the probe only predicts; a model never run keeps the prediction.
    speed.recognition["small"] = 0.2;
    speed.speakers = 0.05;
    EXPECT_DOUBLE_EQ(ModelSpeed::predictedFactor(WhisperModel::small, speed, 2, true), 0.45);
    EXPECT_EQ(recommendedModel(plenty, speed, 2, true), WhisperModel::small);
    speed.recognition["small"] = 0.6;
    EXPECT_EQ(recommendedModel(plenty, speed, 1), WhisperModel::base);
    EXPECT_EQ(ModelSpeed::fasterThan(WhisperModel::small, speed, 2, keepUpFactor, true),
              WhisperModel::base);
    speed.speakers = 0.5;
    EXPECT_EQ(ModelSpeed::fasterThan(WhisperModel::small, speed, 1, keepUpFactor, true),
              WhisperModel::tiny)
        << "labelling alone fills the margin: nothing keeps up, the fastest helps most";

    using ModelSpeed::sessionCost;
    EXPECT_FALSE(sessionCost(10, 20, 0, 0)) << "too little audio to say";
    EXPECT_FALSE(sessionCost(std::nan(""), 120, 0, 0));
    auto cost = sessionCost(60, 120, 30, 100);
    ASSERT_TRUE(cost);
    EXPECT_EQ(cost->recognition, 0.5);
    EXPECT_EQ(cost->speakers, 0.3);
    EXPECT_FALSE(sessionCost(60, 120, 0, 100)->speakers) << "labelled nothing: nothing learnt";
    ModelSpeed::keep(speed, WhisperModel::base, *sessionCost(321, 49, 0, 0));
    EXPECT_EQ(speed.speakers, 0.5) << "a session that labelled nothing leaves the figure";
    EXPECT_GT(ModelSpeed::predictedFactor(WhisperModel::base, speed, 1), 6.5);
}

} // namespace
} // namespace tallyvox
