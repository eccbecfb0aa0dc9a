#pragma once

#include "audio/AudioCaptureService.h"
#include "audio/CaptureProcessor.h"
#include "audio/OutputTap.h"
#include "base/Clock.h"
#include "base/Executor.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace tallyvox {

struct TapCaptureOptions {
    std::size_t bufferLimit = static_cast<std::size_t>(AudioCaptureService::sampleRate *
                                                       AudioCaptureService::maxBufferedSeconds);
    double watchdogInterval = 5;
    // Between attempts to reopen a stream the server ended.
    double retryInterval = 1;
    // Between looks at the output the meeting plays to.
    double followInterval = 1;
};

// Meeting audio from an OutputTap: streams are built on the tap's thread and their results
// come back as tasks, buffers are converted on the capture queue, a watchdog rebuilds a
// stream that stopped delivering while its output plays, and a move of the meeting to
// another output, a change of default output or a stream the server ended is followed by a
// fresh stream.
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
    // Whether a stream is being built.
    bool isStarting() const { return starting_; }
    // The output the running stream records.
    std::optional<std::uint32_t> recordedOutput() const { return recorded_; }

private:
    // Why a stream is built decides what becomes of a failure.
    enum class Build { start, watchdog, outputChange, recovery };

    TapCapture(std::shared_ptr<OutputTap> tap, Executor& main, std::shared_ptr<Executor> queue,
               Clock& clock, Options options);

    void buildDevice(Build why);
    void teardownDevice();
    void streamOpened(std::uint64_t generation, const OutputTap::Opened& opened, bool usable);
    void streamFailed(std::uint64_t generation, const Error& error);
    void buildFailed(const Error& error);
    std::optional<std::uint32_t> wantedOutput();
    void followMeeting();
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
    bool starting_ = false;
    Build build_ = Build::start;
    bool running_ = false;
    bool paused_ = false;
    double lastReceived_ = -1;
    // Whether the output was playing at the previous watchdog tick.
    bool wasPlaying_ = false;
    std::optional<std::uint32_t> recorded_;
    // The meeting's output as last known (it keeps it between its playback streams), and
    // one that could not be recorded, so it is not tried at every look.
    std::optional<std::uint32_t> meetingOutput_;
    std::optional<std::uint32_t> unusableOutput_;
    TaskHandle watchdog_;
    TaskHandle follow_;
    TaskHandle retry_;
    int failedRetries_ = 0;
};

} // namespace tallyvox
