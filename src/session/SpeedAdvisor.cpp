#include "session/SpeedAdvisor.h"

#include "base/Log.h"
#include "types/ModelSpeed.h"

namespace tallyvox {

std::shared_ptr<SpeedAdvisor> SpeedAdvisor::make(const PlatformServices& services,
                                                 SettingsStores stores) {
    return std::shared_ptr<SpeedAdvisor>(new SpeedAdvisor(services, std::move(stores)));
}

SpeedAdvisor::SpeedAdvisor(const PlatformServices& services, SettingsStores stores)
    : measureMachineSpeed_(services.measureMachineSpeed)
    , keepMachineSpeed_(services.keepMachineSpeed)
    , stores_(std::move(stores)) {
    if (services.machineSpeed)
        speed_ = services.machineSpeed();
    // Before the settings are registered only memory and the figure count.
    recommended_ = SettingsManager::recommendedModel(SettingsManager::physicalMemory(), speed_);
}

void SpeedAdvisor::recommend() {
    recommended_ = SettingsManager::recommendedModel(stores_, speed_);
}

void SpeedAdvisor::measure() {
    if (!measureMachineSpeed_)
        return;
    std::weak_ptr<SpeedAdvisor> weak = weak_from_this();
    measureMachineSpeed_([weak](std::optional<MachineSpeed> measured) {
        auto self = weak.lock();
        if (!self || !measured)
            return;
        // A session that ended meanwhile measured more than the probe can.
        if (self->speed_ && self->speed_->cpu == measured->cpu &&
            self->speed_->threads == measured->threads)
            for (const auto& [model, factor] : self->speed_->recognition)
                measured->recognition[model] = factor;
        if (self->speed_ && !measured->speakers)
            measured->speakers = self->speed_->speakers;
        self->speed_ = std::move(measured);
        self->recommend();
    });
}

void SpeedAdvisor::keepSessionCost(const EngineOptions& options,
                                   const std::map<std::string, EngineStats>& stats,
                                   const std::string& device) {
    if (!speed_)
        return;
    // A session on another device than the figure's (the graphics processor turned on or off
    // since) says nothing about that device.
    if (!device.empty() && MachineSpeed::keyOf(device) != speed_->cpu)
        return;
    double recognition = 0, streams = 0, speakers = 0, labelled = 0;
    for (const auto& [name, channel] : stats) {
        recognition += channel.whisperSeconds;
        streams += channel.processedSeconds;
        speakers += channel.speakerSeconds;
        if (channel.speakerSeconds > 0)
            labelled += channel.processedSeconds;
    }
    auto cost = ModelSpeed::sessionCost(recognition, streams, speakers, labelled);
    if (!cost)
        return;
    Log::info("Recognition with {} took {:.2f} s per second of audio", options.model.rawValue(),
              cost->recognition);
    ModelSpeed::keep(*speed_, options.model, *cost);
    recommend();
    if (keepMachineSpeed_)
        keepMachineSpeed_(*speed_);
}

FallingBehind SpeedAdvisor::behind(double waitingSeconds, const EngineOptions& options,
                                   bool micOn) const {
    const int sources = micOn ? 2 : 1;
    const bool speakers = options.diarize;
    auto faster = ModelSpeed::fasterThan(options.model, speed_, sources,
                                         SettingsManager::keepUpFactor, speakers);
    return {.waitingSeconds = waitingSeconds,
            .faster = faster,
            .fasterKeepsUp = faster && speed_ &&
                             ModelSpeed::predictedFactor(*faster, *speed_, sources, speakers) <=
                                 SettingsManager::keepUpFactor,
            .micOn = micOn,
            .speakersOn = speakers};
}

} // namespace tallyvox
