#include "types/ModelSpeed.h"

#include <algorithm>

namespace tallyvox::ModelSpeed {

double windowWork(WhisperModel model) {
    // Measured by bench/model_speed.sh; see bench/README.md.
    switch (model.kind()) {
    case WhisperModel::tiny:
        return 40;
    case WhisperModel::base:
        return 80;
    case WhisperModel::small:
        return 250;
    case WhisperModel::medium:
        return 800;
    case WhisperModel::turbo:
        return 1200;
    }
    return 1200;
}

double predictedFactor(WhisperModel model, const MachineSpeed& speed, int sources) {
    if (speed.gflops <= 0)
        return 1e9;
    return windowWork(model) / speed.gflops / windowSeconds * std::max(sources, 1);
}

const std::vector<WhisperModel>& byAccuracy() {
    static const std::vector<WhisperModel> order{WhisperModel::turbo, WhisperModel::medium,
                                                 WhisperModel::small, WhisperModel::base,
                                                 WhisperModel::tiny};
    return order;
}

WhisperModel mostAccurateKeepingUp(WhisperModel ceiling, const MachineSpeed& speed, int sources,
                                   double limit) {
    const auto& order = byAccuracy();
    auto from = std::find(order.begin(), order.end(), ceiling);
    for (auto it = from; it != order.end(); ++it)
        if (predictedFactor(*it, speed, sources) <= limit)
            return *it;
    return order.back();
}

std::optional<WhisperModel> fasterThan(WhisperModel current,
                                       const std::optional<MachineSpeed>& speed, int sources,
                                       double limit) {
    const auto& order = byAccuracy();
    std::vector<WhisperModel> faster;
    for (auto model : order)
        if (windowWork(model) < windowWork(current))
            faster.push_back(model);
    if (faster.empty())
        return std::nullopt;
    if (speed)
        for (auto model : faster)
            if (predictedFactor(model, *speed, sources) <= limit)
                return model;
    // Without a figure, one step down; with one and nothing keeping up, the fastest.
    return speed ? faster.back() : faster.front();
}

} // namespace tallyvox::ModelSpeed
