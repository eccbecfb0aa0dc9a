#include "types/ModelSpeed.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace tallyvox::ModelSpeed {

double windowWork(WhisperModel model) {
    // bench/model_speed.sh on a 2-core machine with the recogniser's two threads (see
    // bench/README.md). Medium costs as much as Large v3 Turbo: Turbo's larger encoder is paid
    // back by its four-layer decoder.
    switch (model.kind()) {
    case WhisperModel::tiny:
        return 108;
    case WhisperModel::base:
        return 209;
    case WhisperModel::small:
        return 630;
    case WhisperModel::medium:
        return 2353;
    case WhisperModel::turbo:
        return 2232;
    }
    return 2353;
}

double predictedFactor(WhisperModel model, const MachineSpeed& speed, int sources, bool speakers) {
    if (speed.gflops <= 0)
        return 1e9;
    // The probe times one matrix product; a real session also pays for the decoder, the
    // speech detector and everything else running, so once a model has run, that counts.
    auto measured = speed.recognition.find(std::string(model.rawValue()));
    double factor = measured != speed.recognition.end()
                        ? measured->second
                        : windowWork(model) / speed.gflops / windowSeconds;
    factor *= std::max(sources, 1);
    if (speakers)
        factor += speed.speakers.value_or(speakerWork / speed.gflops);
    return factor;
}

const std::vector<WhisperModel>& byAccuracy() {
    static const std::vector<WhisperModel> order{WhisperModel::turbo, WhisperModel::medium,
                                                 WhisperModel::small, WhisperModel::base,
                                                 WhisperModel::tiny};
    return order;
}

WhisperModel mostAccurateKeepingUp(WhisperModel ceiling, const MachineSpeed& speed, int sources,
                                   double limit, bool speakers) {
    const auto& order = byAccuracy();
    // A quantised copy is no more accurate than its original.
    auto from = std::find(order.begin(), order.end(), ceiling.original());
    for (auto it = from; it != order.end(); ++it)
        if (predictedFactor(*it, speed, sources, speakers) <= limit)
            return *it;
    return order.back();
}

std::optional<WhisperModel> fasterThan(WhisperModel current,
                                       const std::optional<MachineSpeed>& speed, int sources,
                                       double limit, bool speakers) {
    // A model within a fifth of the current one's cost would not cure a growing backlog.
    const auto& order = byAccuracy();
    std::vector<WhisperModel> faster;
    for (auto model : order)
        if (windowWork(model) <= 0.8 * windowWork(current))
            faster.push_back(model);
    if (faster.empty())
        return std::nullopt;
    if (speed)
        for (auto model : faster)
            if (predictedFactor(model, *speed, sources, speakers) <= limit)
                return model;
    // Without a figure, the most accurate faster one; with one and nothing keeping up, the
    // fastest.
    return speed ? faster.back() : faster.front();
}

std::optional<SessionCost> sessionCost(double recognitionSeconds, double streamSeconds,
                                       double speakerSeconds, double meetingSeconds) {
    // Under half a minute of audio the model's loading and the first window's warm-up weigh
    // more than the speech.
    constexpr double fewestSeconds = 30;
    auto usable = [](double value) { return std::isfinite(value) && value >= 0; };
    if (!usable(recognitionSeconds) || !usable(streamSeconds) || streamSeconds < fewestSeconds)
        return std::nullopt;
    SessionCost cost{recognitionSeconds / streamSeconds, std::nullopt};
    if (usable(speakerSeconds) && speakerSeconds > 0 && usable(meetingSeconds) &&
        meetingSeconds >= fewestSeconds)
        cost.speakers = speakerSeconds / meetingSeconds;
    return cost;
}

void keep(MachineSpeed& speed, WhisperModel model, const SessionCost& cost) {
    speed.recognition[std::string(model.rawValue())] = cost.recognition;
    if (cost.speakers)
        speed.speakers = cost.speakers;
}

} // namespace tallyvox::ModelSpeed
