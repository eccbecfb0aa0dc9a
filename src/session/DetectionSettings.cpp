#include "session/DetectionSettings.h"

namespace tallyvox::SessionSettings {

// Read through the stores' own accessors; this folder only adds what a session needs of them.
using namespace SettingsManager;

DetectionChoices detectionChoices(const SettingsStores& stores) {
    return {
        .enabled = [stores] { return autoDetect(stores); },
        .watches = [stores](Platform platform) { return detects(platform, stores); },
        .observe =
            [stores](std::function<void()> changed) {
                return stores.defaults.observe([changed =
                                                    std::move(changed)](const std::string& key) {
                    if (key == Key::autoDetect || key == Key::detectZoom ||
                        key == Key::detectTeams || key == Key::detectWeb || key == Key::detectMeet)
                        changed();
                });
            },
        .web = [stores] { return detectWeb(stores); },
    };
}

} // namespace tallyvox::SessionSettings
