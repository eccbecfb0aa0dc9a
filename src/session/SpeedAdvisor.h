#pragma once

#include "session/FallingBehind.h"
#include "session/PlatformServices.h"
#include "settings/SettingsManager.h"
#include "types/EngineTypes.h"
#include "types/MachineSpeed.h"
#include "types/WhisperModel.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tallyvox {

// What this machine's speed says about the models: the kept figure, a fresh probe's, and
// what sessions measured; the model it recommends for what the settings have on, and the
// advice when a session falls behind. Main thread only.
class SpeedAdvisor : public std::enable_shared_from_this<SpeedAdvisor> {
public:
    // Of the services, the three speed functions are used.
    static std::shared_ptr<SpeedAdvisor> make(const PlatformServices& services,
                                              SettingsStores stores);

    // The kept figure, read at once.
    const std::optional<MachineSpeed>& speed() const { return speed_; }
    WhisperModel recommended() const { return recommended_; }

    // Again, for what the settings have on now.
    void recommend();
    // Measures afresh when the services can; a new figure only changes the advice: the model
    // in use stays the user's (or the one already used) until they choose another.
    void measure();
    // What recognition really cost in a finished session replaces the probe's prediction for
    // its model; kept only beside a probe figure of the device the session ran on.
    void keepSessionCost(const EngineOptions& options,
                         const std::map<std::string, EngineStats>& stats,
                         const std::string& device = {});
    // What a session running with `options` should be told once it falls behind.
    FallingBehind behind(double waitingSeconds, const EngineOptions& options, bool micOn) const;

private:
    SpeedAdvisor(const PlatformServices& services, SettingsStores stores);

    decltype(PlatformServices::measureMachineSpeed) measureMachineSpeed_;
    decltype(PlatformServices::keepMachineSpeed) keepMachineSpeed_;
    SettingsStores stores_;
    std::optional<MachineSpeed> speed_;
    WhisperModel recommended_;
};

} // namespace tallyvox
