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

// Where the model is changed.
std::string FallingBehind::choose() const {
    if (commandLine)
        return "tallyvox-cli settings set whisperModel " + std::string(faster->rawValue());
    return "choose it in Settings \u203a Transcription";
}

// What else takes work off the recogniser; only what is on can be turned off.
std::string FallingBehind::lighten() const {
    std::string text = " Close other busy programs";
    if (micOn && speakersOn)
        text.append(", turn off \"Include my microphone\", or turn off speaker labels.");
    else if (micOn)
        text.append(", or turn off \"Include my microphone\".");
    else if (speakersOn)
        text.append(", or turn off speaker labels.");
    else
        text.append(".");
    return text;
}

std::string FallingBehind::text() const {
    std::string line = std::string(title) + ": ";
    if (faster && fasterKeepsUp && !commandLine)
        return line.append(waiting(waitingSeconds))
            .append(" Choose ")
            .append(faster->title())
            .append(" in Settings \u203a Transcription to keep up.");
    return line + advice();
}

std::string FallingBehind::advice() const {
    std::string body = waiting(waitingSeconds);
    if (faster && fasterKeepsUp)
        return body.append(" ")
            .append(faster->title())
            .append(" keeps up on this computer: ")
            .append(choose())
            .append(".");
    if (faster)
        body.append(" ")
            .append(faster->title())
            .append(" is faster: ")
            .append(choose())
            .append(".");
    return body + lighten();
}

} // namespace tallyvox
