#pragma once

#include "audio/MicInput.h"
#include "audio/OutputTap.h"
#include "audio/linux/PulseConnection.h"

#include <memory>
#include <mutex>

namespace tallyvox {

class AudioCaptureService;
class MicCaptureService;
class Executor;

// Records the monitor of the default sink. Since our process plays nothing, that is every
// other application's sound. The stream names its sink explicitly (a "default monitor" would
// not follow a change of default sink), so a change is reported and the caller reopens.
class PulseOutputTap final : public OutputTap {
public:
    PulseOutputTap();
    StreamFormat open(Handlers handlers) override;
    void close() override;
    bool isPlaying() override;

    // Whether the default sink is the computer's own speakers; see OutputDeviceInfo.
    static bool outputIsBuiltInSpeakers();

private:
    PulseConnection connection_;
    std::string sink_; // the sink whose monitor is recorded
};

// Records a named source, or the default source (reopened when the default changes).
class PulseMicInput final : public MicInput {
public:
    PulseMicInput();
    StreamFormat open(const std::optional<std::string>& source, Handlers handlers) override;
    void close() override;
    std::optional<std::string> describe(const std::optional<std::string>& source) override;

private:
    PulseConnection connection_;
};

// The real services, run with `main` as their main thread.
std::shared_ptr<AudioCaptureService> makePulseCapture(Executor& main);
std::shared_ptr<MicCaptureService> makePulseMic(Executor& main);

} // namespace tallyvox
