#include "session/FallingBehind.h"

#include <cmath>

namespace tallyvox {

namespace {

std::string waiting(double seconds) {
    return std::to_string(static_cast<long long>(std::floor(seconds))) +
           " s of audio are waiting to be transcribed.";
}

} // namespace

std::string FallingBehind::text() const {
    std::string line = std::string(title) + ": " + waiting(waitingSeconds);
    if (faster)
        line += " Choose " + std::string(faster->title()) +
                " in Settings \u203a Transcription to keep up.";
    return line;
}

std::string FallingBehind::advice() const {
    std::string body = waiting(waitingSeconds);
    if (faster)
        body += " " + std::string(faster->title()) +
                " keeps up on this computer: choose it in Settings \u203a Transcription.";
    else
        body += " Close other busy programs, or turn off \"Include my microphone\".";
    return body;
}

} // namespace tallyvox
