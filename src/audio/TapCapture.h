#pragma once

#include "audio/AudioCaptureService.h"
#include "audio/CaptureProcessor.h"
#include "audio/OutputTap.h"
#include "base/Clock.h"
#include "base/Executor.h"

#include <cstdint>
#include <memory>

namespace tallyvox {

struct TapCaptureOptions {
    std::size_t bufferLimit = static_cast<std::size_t>(AudioCaptureService::sampleRate *
                                                       AudioCaptureService::maxBufferedSeconds);
    double watchdogInterval = 5;
    // Between attempts to reopen a stream the server ended.
    double retryInterval = 1;
};

// Meeting audio from an OutputTap: buffers are converted on the capture queue, a watchdog
// rebuilds a stream that stopped delivering while its output plays, and a change of default
// output or a stream the server ended is followed by a fresh stream.
class TapCapture final : public AudioCaptureService,
                         public std::enable_shared_from_this<TapCapture> {
public:
    using Options = TapCaptureOptions;

    // `queue` runs the conversion ("com.tallyvox.capture" when none is given); `main` is the
    // thread start/pause/resume/stop are called on.
    static std::shared_ptr<TapCapture> make(std::shared_ptr<OutputTap> tap, Executor& main,
                                            std::shared_ptr<Executor> queue = nullptr,
                                            Clock& clock = Clock::system(), Options options = {});
    ~TapCapture() override;

    void start(const ConsentRecord& consent) override;
    void pause() override;
    void resume() override;
    void stop() override;
    std::vector<float> drain() override;
    Stats stats() const override;

    // The conversion and buffering, shared with the capture queue's tasks.
    const std::shared_ptr<CaptureProcessor>& processor() const { return processor_; }

private:
    TapCapture(std::shared_ptr<OutputTap> tap, Executor& main, std::shared_ptr<Executor> queue,
               Clock& clock, Options options);

    void buildDevice();
    void teardownDevice();
    void rebuildIfStalled();
    void streamLost(std::uint64_t generation, const std::string& reason);
    void outputChanged(std::uint64_t generation);
    void recover();

    std::shared_ptr<OutputTap> tap_;
    Executor& main_;
    std::shared_ptr<Executor> queue_;
    Clock& clock_;
    Options options_;

    std::shared_ptr<CaptureProcessor> processor_;

    // Main thread only.
    std::uint64_t generation_ = 0;
    bool streamOpen_ = false;
    bool running_ = false;
    bool paused_ = false;
    double lastReceived_ = -1;
    // Whether the output was playing at the previous watchdog tick.
    bool wasPlaying_ = false;
    TaskHandle watchdog_;
    TaskHandle retry_;
    int failedRetries_ = 0;
};

} // namespace tallyvox
