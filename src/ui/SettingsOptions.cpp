#include "ui/SettingsOptions.h"

#include "settings/SettingsTable.h"

#include <algorithm>
#include <cmath>

namespace tallyvox::ui::SettingsOptions {

const std::vector<Language>& languages() {
    static const std::vector<Language> list{
        {"en+hi", "English + Hindi (recommended)"},
        {"auto", "Detect any language"},
        {"en", "English (incl. Indian English)"},
        {"hi", "Hindi"},
        {"bn", "Bengali"},
        {"gu", "Gujarati"},
        {"kn", "Kannada"},
        {"ml", "Malayalam"},
        {"mr", "Marathi"},
        {"pa", "Punjabi"},
        {"ta", "Tamil"},
        {"te", "Telugu"},
        {"ur", "Urdu"},
        {"ar", "Arabic"},
        {"zh", "Chinese"},
        {"nl", "Dutch"},
        {"fr", "French"},
        {"de", "German"},
        {"it", "Italian"},
        {"ja", "Japanese"},
        {"ko", "Korean"},
        {"pt", "Portuguese"},
        {"ru", "Russian"},
        {"es", "Spanish"},
    };
    return list;
}

const std::vector<DeleteAfter>& deleteAfter() {
    static const std::vector<DeleteAfter> list{
        {0, "Never"}, {7, "7 days"}, {30, "30 days"}, {90, "90 days"}, {365, "1 year"},
    };
    return list;
}

std::string unlistedLanguage(std::string_view stored) {
    return std::string(stored);
}

std::string unlistedDeleteAfter(std::int64_t days) {
    std::string text = std::to_string(days);
    text += days == 1 ? " day" : " days";
    return text;
}

std::string modelRow(WhisperModel model, WhisperModel recommended, bool downloaded) {
    std::string row(model.title());
    if (model.isVariant())
        return row + " · faster copy";
    row += " · ";
    row += model.sizeLabel();
    if (model == recommended)
        row += " · recommended";
    if (!downloaded)
        row += " · not downloaded";
    return row;
}

std::string downloadButton(WhisperModel model) {
    std::string text = "Download ";
    text += model.title();
    text += " (";
    text += model.sizeLabel();
    text += ")";
    return text;
}

int minChunkSeconds() {
    const auto* chunk = SettingsTable::find(SettingsManager::Key::chunkSeconds);
    return static_cast<int>(std::ceil(*chunk->minimum));
}

int maxChunkSeconds() {
    const auto* chunk = SettingsTable::find(SettingsManager::Key::chunkSeconds);
    return static_cast<int>(std::floor(*chunk->maximum));
}

int sliderSeconds(double stored) {
    if (!std::isfinite(stored))
        return minChunkSeconds();
    return static_cast<int>(
        std::clamp(std::round(stored), double(minChunkSeconds()), double(maxChunkSeconds())));
}

} // namespace tallyvox::ui::SettingsOptions
