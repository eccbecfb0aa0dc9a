#include "session/FallingBehind.h"

#include <cmath>

namespace tallyvox {

namespace {

std::string waiting(double seconds) {
    std::string text = std::to_string(static_cast<long long>(std::floor(seconds)));
    text.append(" s of audio are waiting to be transcribed.");
    return text;
}

} // namespace

std::string FallingBehind::text() const {
    std::string line = title;
    line.append(": ").append(waiting(waitingSeconds));
    if (faster)
        line.append(" Choose ")
            .append(faster->title())
            .append(" in Settings \u203a Transcription to keep up.");
    return line;
}

std::string FallingBehind::advice() const {
    std::string body = waiting(waitingSeconds);
    if (faster)
        body.append(" ")
            .append(faster->title())
            .append(" keeps up on this computer: choose it in Settings \u203a Transcription.");
    else
        body.append(" Close other busy programs, or turn off \"Include my microphone\".");
    return body;
}

} // namespace tallyvox
