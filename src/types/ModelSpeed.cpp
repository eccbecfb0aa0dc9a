#include "types/ModelSpeed.h"

#include <algorithm>

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
            if (predictedFactor(model, *speed, sources) <= limit)
                return model;
    // Without a figure, the most accurate faster one; with one and nothing keeping up, the
    // fastest.
    return speed ? faster.back() : faster.front();
}

} // namespace tallyvox::ModelSpeed
