#pragma once

#include "types/WhisperModel.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox::ui::SettingsOptions {

// One choice of a picker: what is stored, then what is shown.
struct Language {
    std::string_view stored;
    std::string_view shown;
};
struct DeleteAfter {
    int days;
    std::string_view shown;
};

const std::vector<Language>& languages();
const std::vector<DeleteAfter>& deleteAfter();

// What a picker shows for a stored value it does not list (set from the command line), so
// the value is kept visible instead of being silently replaced by the first choice.
std::string unlistedLanguage(std::string_view stored);
std::string unlistedDeleteAfter(std::int64_t days);

// "Small · 466 MB · recommended · not downloaded"
std::string modelRow(WhisperModel model, WhisperModel recommended, bool downloaded);
// "Download Small (466 MB)"
std::string downloadButton(WhisperModel model);

// The update interval the slider may show: the whole seconds within the setting's range.
int minChunkSeconds();
int maxChunkSeconds();
int sliderSeconds(double stored);

} // namespace tallyvox::ui::SettingsOptions
