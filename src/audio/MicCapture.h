#pragma once

#include "audio/AudioCaptureService.h"
#include "audio/MicCaptureService.h"
#include "audio/MicInput.h"
#include "audio/Resampler.h"
#include "audio/SampleBuffer.h"
#include "base/Clock.h"
#include "base/Executor.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tallyvox {

// The user's microphone from a MicInput: the meeting's input when known, else the default
// input; rebuilt when it goes silent or its source changes. Streams are built on the input's
// thread and their results come back as tasks on the main thread.
class MicCapture final : public MicCaptureService, public std::enable_shared_from_this<MicCapture> {
public:
    static constexpr double stallSeconds = 6.0;
    static constexpr int maxRestartAttempt = 20;
    static constexpr double restartDelay = 0.5;

    static std::shared_ptr<MicCapture>
    make(std::shared_ptr<MicInput> input, Executor& main, Clock& clock = Clock::system(),
         std::size_t bufferLimit = static_cast<std::size_t>(
             AudioCaptureService::sampleRate * AudioCaptureService::maxBufferedSeconds));
    ~MicCapture() override;

    void start(const std::optional<Device>& device) override;
    void pause() override;
    void resume() override;
    void stop() override;
    std::vector<float> drain() override;
    void hold() override;
    void setMuted(bool muted) override;
    void check(SystemTime now) override;
    Counts counts() const override;
    std::optional<std::string> deviceDescription() const override;
    int restarts() const override { return restarts_; }

    void restart(int attempt);

    bool isRunning() const { return running_; }
    bool isStarting() const { return starting_; }
    const std::optional<Device>& device() const { return device_; }
    bool followsMeeting() const { return followsMeeting_; }
    bool usesDefault() const { return useDefault_; }
    int stalls() const { return stalls_; }

    // The source's description, "unknown mic" when it cannot be read.
    static std::string name(const std::optional<std::string>& description);
    static bool fallBack(int stalls, bool followsMeeting) { return stalls > 1 && followsMeeting; }
    static bool isStalled(std::optional<SystemTime> lastAudio, SystemTime started, SystemTime now) {
        return secondsBetween(lastAudio.value_or(started), now) >= stallSeconds;
    }

    // What the input's thread touches; its handlers hold this, never the service.
    struct Shared {
        Shared(Clock& clock, std::size_t bufferLimit)
            : clock(clock)
            , samples(bufferLimit) {}
        // One buffer of stream `generation`.
        void receive(const float* interleaved, std::size_t sampleCount, StreamFormat format,
                     std::uint64_t generation);
        void take(const std::vector<float>& converted);

        Clock& clock;
        std::mutex samplesMutex;
        SampleBuffer samples;
        mutable std::mutex countersMutex;
        Counts counters;
        std::atomic<bool> gate{false};
        std::atomic<bool> held{false};
        std::mutex lastAudioMutex;
        std::optional<SystemTime> lastAudio;
        std::mutex resamplerMutex;
        std::unique_ptr<Resampler> resampler;
        std::atomic<std::uint64_t> generation{0};
    };
    const std::shared_ptr<Shared>& shared() const { return shared_; }

private:
    MicCapture(std::shared_ptr<MicInput> input, Executor& main, Clock& clock,
               std::size_t bufferLimit);

    // Builds a stream on `chosen` (nothing: the default input). `attempt` is -1 for a start
    // the owner asked for, else the restart attempt.
    void openStream(const std::optional<Device>& chosen, int attempt);
    void streamOpened(std::uint64_t generation, const MicInput::Opened& opened);
    void streamFailed(std::uint64_t generation, const std::string& error);
    void closeStream();

    std::shared_ptr<MicInput> input_;
    Executor& main_;
    Clock& clock_;
    std::shared_ptr<Shared> shared_;

    // Main thread only.
    SystemTime startedAt_{};
    bool running_ = false;
    bool starting_ = false;
    // The stream being built: its source and attempt.
    std::optional<Device> chosen_;
    int attempt_ = -1;
    bool stopped_ = false;
    // Paused by the session: nothing may open the input until it resumes.
    bool paused_ = false;
    std::optional<Device> device_;
    // A meeting device that could not be opened at the last start: not "moved" again.
    std::optional<Device> unusable_;
    bool followsMeeting_ = false;
    int restarts_ = 0;
    int stalls_ = 0;
    bool useDefault_ = false;
    std::optional<std::string> description_;
    TaskHandle retry_;
};

} // namespace tallyvox
