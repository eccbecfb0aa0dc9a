#pragma once

#include <optional>

namespace tallyvox {

// Notices a recogniser slower than speech: the audio waiting for recognition passes a limit
// and is still growing. Told once; after that the capture will soon drop audio, and saying
// it again would only repeat itself.
class BacklogWatch {
public:
    static constexpr double limit = 60;

    // Each measurement of the waiting seconds, in order. True only the first time the waiting
    // audio is over the limit and more than at the measurement before.
    bool observe(double waitingSeconds);

private:
    std::optional<double> last_;
    bool told_ = false;
};

} // namespace tallyvox
