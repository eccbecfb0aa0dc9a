#pragma once

#include "settings/UserDefaults.h"
#include "types/DetectedMeeting.h"
#include "types/EngineTypes.h"
#include "types/MachineSpeed.h"
#include "types/WhisperModel.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox {

// Where settings are kept: the ordinary preferences and the protected settings file.
struct SettingsStores {
    UserDefaults& defaults;
    std::filesystem::path protectedFile;
};

namespace SettingsManager {

namespace Key {
inline constexpr std::string_view autoDetect = "autoDetect";
inline constexpr std::string_view detectZoom = "detectZoom";
inline constexpr std::string_view detectTeams = "detectTeams";
inline constexpr std::string_view detectWeb = "detectWeb";
inline constexpr std::string_view detectMeet = "detectMeet";
inline constexpr std::string_view model = "whisperModel";
inline constexpr std::string_view language = "language";
inline constexpr std::string_view chunkSeconds = "chunkSeconds";
inline constexpr std::string_view vocabulary = "vocabulary";
inline constexpr std::string_view diarize = "diarize";
inline constexpr std::string_view saveLocation = "saveLocation";
inline constexpr std::string_view includeMic = "includeMic";
inline constexpr std::string_view deleteAfterDays = "deleteAfterDays";
inline constexpr std::string_view consentReminder = "consentReminder";
inline constexpr std::string_view myName = "myName";
inline constexpr std::string_view useCalendar = "useCalendar";
inline constexpr std::string_view followMute = "followMute";
inline constexpr std::string_view useGPU = "useGPU";
inline constexpr std::string_view accuracyDefaultsApplied = "accuracyDefaultsApplied";
inline constexpr std::string_view standingConsentAt = "standingConsentAt";
inline constexpr std::string_view learnedWords = "learnedWords";
inline constexpr std::string_view fixCounts = "fixCounts";
// Set once the window-only mode has explained that there is no tray icon.
inline constexpr std::string_view noTrayExplained = "noTrayExplained";
} // namespace Key

inline constexpr std::string_view defaultLanguage = "en+hi";
inline constexpr std::string_view sampleVocabulary =
    "Meeting about product, design and engineering: Figma, prototype, wireframe, UX, UI, API, "
    "sprint, roadmap, stakeholder.";

// The machine's physical memory in bytes (0 when the system does not say).
std::uint64_t physicalMemory();
// The full name in the password database (first field of GECOS), or "".
std::string systemFullName();

// A recogniser keeps up when it needs at most this many seconds per second of audio with the
// meeting and the microphone both speaking: the margin absorbs other programs and slower
// stretches.
inline constexpr double keepUpFactor = 0.5;
// The most accurate model the machine keeps up with (by its measured speed) with `sources`
// streams and, when `speakers`, speaker labelling, among those its memory allows (Small
// below 8 GiB, else Large v3 Turbo); without a measurement, the memory rule alone. Advice:
// the model in use changes only when the user chooses.
WhisperModel recommendedModel(std::uint64_t physicalMemoryBytes,
                              const std::optional<MachineSpeed>& speed = std::nullopt,
                              int sources = 2, bool speakers = false);
// This machine's: its memory and its kept speed figure.
WhisperModel recommendedModel();
// This machine's with `speed`, for the streams and speaker labelling the settings have on.
WhisperModel recommendedModel(const SettingsStores& stores,
                              const std::optional<MachineSpeed>& speed);
// The model used while the user has chosen none: the recommended one when it is downloaded
// or nothing is (it is the one to download); else the most accurate downloaded one that is
// no more accurate than it, else the least accurate downloaded one. Never a model missing
// while another is there, so a new speed figure cannot leave meetings untranscribable.
WhisperModel defaultModel(
    WhisperModel recommended, const std::function<bool(WhisperModel)>& downloaded =
                                  [](WhisperModel model) { return model.isDownloaded(); });
// Registers defaultModel(recommended) as the model's default.
void registerDefaultModel(
    const SettingsStores& stores, WhisperModel recommended,
    const std::function<bool(WhisperModel)>& downloaded = [](WhisperModel model) {
        return model.isDownloaded();
    });
// Stores the model in use when the user has chosen none, so it stays the default.
void keepModel(WhisperModel model, const SettingsStores& stores);

// The defaults of every preference, plus the two protected keys' first-move values.
void registerDefaults(const SettingsStores& stores, const std::string& fullName = systemFullName(),
                      WhisperModel recommended = recommendedModel());
// One-time upgrade to the more accurate language, window and model choices.
void applyAccuracyDefaults(const SettingsStores& stores);

WhisperModel model(const SettingsStores& stores);

bool autoDetect(const SettingsStores& stores);
bool detectZoom(const SettingsStores& stores);
bool detectTeams(const SettingsStores& stores);
bool detectWeb(const SettingsStores& stores);
bool detectMeet(const SettingsStores& stores);
bool detects(Platform platform, const SettingsStores& stores);
bool consentReminder(const SettingsStores& stores);
bool diarize(const SettingsStores& stores);

std::string myName(const SettingsStores& stores);
bool useCalendar(const SettingsStores& stores);
// Days after which transcripts go to the Trash; 0 (never) for anything not positive.
int deleteAfterDays(const SettingsStores& stores);

bool includeMic(const SettingsStores& stores);
bool followMute(const SettingsStores& stores);
// Whether recognition may run on a graphics processor; on unless turned off, even before the
// defaults are registered (the recogniser reads it on its own).
bool useGPU(const SettingsStores& stores);
// The chosen transcript folder when it is an absolute path, else the default folder.
std::filesystem::path saveRoot(const SettingsStores& stores);

std::vector<std::string> learnedWords(const SettingsStores& stores);
void noteFix(std::string_view word, const SettingsStores& stores);
void forget(std::string_view word, const SettingsStores& stores);
bool hasFixMemory(const SettingsStores& stores);
void forgetAllWords(const SettingsStores& stores);

} // namespace SettingsManager

} // namespace tallyvox
