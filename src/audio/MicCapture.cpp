#include "audio/MicCapture.h"

#include "base/Log.h"

namespace tallyvox {

namespace {
constexpr double rate = AudioCaptureService::sampleRate;
}

std::shared_ptr<MicCapture> MicCapture::make(std::shared_ptr<MicInput> input, Executor& main,
                                             Clock& clock, std::size_t bufferLimit) {
    return std::shared_ptr<MicCapture>(new MicCapture(std::move(input), main, clock, bufferLimit));
}

MicCapture::MicCapture(std::shared_ptr<MicInput> input, Executor& main, Clock& clock,
                       std::size_t bufferLimit)
    : input_(std::move(input))
    , main_(main)
    , clock_(clock)
    , shared_(std::make_shared<Shared>(clock, bufferLimit)) {}

MicCapture::~MicCapture() {
    retry_.cancel();
    input_->close();
}

std::string MicCapture::name(const std::optional<std::string>& description) {
    return description && !description->empty() ? *description : "unknown mic";
}

void MicCapture::start(const std::optional<Device>& requested) {
    stopped_ = false;
    retry_.cancel();
    std::optional<Device> chosen;
    if (!useDefault_)
        chosen = requested ? requested : (meetingDevice ? meetingDevice() : std::nullopt);
    openStream(chosen, -1);
}

void MicCapture::closeStream() {
    // Buffers and results of the closed stream are dropped.
    ++shared_->generation;
    input_->close();
    running_ = false;
    starting_ = false;
}

void MicCapture::openStream(const std::optional<Device>& chosen, int attempt) {
    closeStream();
    device_.reset();
    chosen_ = chosen;
    attempt_ = attempt;
    starting_ = true;
    {
        std::lock_guard lock(shared_->resamplerMutex);
        shared_->resampler.reset();
    }
    const std::uint64_t generation = shared_->generation.load();
    std::weak_ptr<MicCapture> weak = weak_from_this();
    std::weak_ptr<Shared> shared = shared_;
    Executor* main = &main_;

    MicInput::Handlers handlers;
    handlers.opened = [weak, main, generation](const MicInput::Opened& opened) {
        main->post([weak, generation, opened] {
            if (auto self = weak.lock())
                self->streamOpened(generation, opened);
        });
    };
    handlers.failed = [weak, main, generation](const std::string& error) {
        main->post([weak, generation, error] {
            if (auto self = weak.lock())
                self->streamFailed(generation, error);
        });
    };
    handlers.audio = [shared, generation](std::vector<float>&& buffer, StreamFormat format) {
        if (auto s = shared.lock())
            s->receive(buffer.data(), buffer.size(), format, generation);
    };
    handlers.changed = [weak, main, generation] {
        main->post([weak, generation] {
            auto self = weak.lock();
            if (!self || !self->running_ || generation != self->shared_->generation)
                return;
            Log::info("Mic device changed; restarting mic");
            self->restart(0);
        });
    };
    input_->open(chosen, std::move(handlers));
}

void MicCapture::streamOpened(std::uint64_t generation, const MicInput::Opened& opened) {
    if (generation != shared_->generation || !starting_)
        return;
    if (!Resampler::make(opened.format.sampleRate, opened.format.channels)) {
        streamFailed(generation, AudioCaptureService::CaptureError::badFormat().what());
        return;
    }
    starting_ = false;
    device_ = chosen_;
    if (chosen_)
        unusable_.reset();
    followsMeeting_ = device_.has_value();
    running_ = true;
    startedAt_ = clock_.now();
    {
        std::lock_guard lock(shared_->lastAudioMutex);
        shared_->lastAudio.reset();
    }
    std::string micName = name(opened.description);
    description_ = micName + " (" +
                   (followsMeeting_ ? "the one the meeting uses" : "system default input") + ")";
    Log::info("Mic capture started on {}", micName);
    if (attempt_ >= 0)
        ++restarts_;
}

void MicCapture::streamFailed(std::uint64_t generation, const std::string& error) {
    if (generation != shared_->generation || !starting_)
        return;
    if (chosen_) {
        Log::error("Couldn't record from the meeting's mic; using the default input");
        unusable_ = chosen_;
        openStream(std::nullopt, attempt_);
        return;
    }
    const int attempt = attempt_;
    closeStream();
    if (attempt < 0) {
        if (onFailure)
            onFailure(Error(error));
        return;
    }
    if (attempt >= maxRestartAttempt) {
        Log::error("Mic restart failed: {}", error);
        return;
    }
    std::weak_ptr<MicCapture> weak = weak_from_this();
    retry_ = main_.postAfter(Executor::Duration(restartDelay), [weak, attempt] {
        if (auto self = weak.lock())
            self->restart(attempt + 1);
    });
}

void MicCapture::pause() {
    // A retry between two failed opens would otherwise reopen the input while paused.
    paused_ = true;
    retry_.cancel();
    if (!running_ && !starting_)
        return;
    closeStream();
}

void MicCapture::resume() {
    paused_ = false;
    if (!running_ && !starting_)
        start(device_);
}

void MicCapture::stop() {
    // A retry still pending would bring the microphone back after the session ended.
    retry_.cancel();
    stopped_ = true;
    closeStream();
    {
        std::lock_guard lock(shared_->samplesMutex);
        shared_->samples.clear();
    }
    Log::info("Mic capture stopped; audio released");
}

std::vector<float> MicCapture::drain() {
    if (shared_->held.load())
        return {};
    std::lock_guard lock(shared_->samplesMutex);
    return shared_->samples.take();
}

void MicCapture::hold() {
    shared_->held.store(true);
}

void MicCapture::setMuted(bool muted) {
    shared_->gate.store(muted);
    bool wasHeld = shared_->held.exchange(false);
    if (wasHeld && muted) {
        std::lock_guard lock(shared_->samplesMutex);
        shared_->samples.clear();
    }
}

MicCaptureService::Counts MicCapture::counts() const {
    std::lock_guard lock(shared_->countersMutex);
    return shared_->counters;
}

std::optional<std::string> MicCapture::deviceDescription() const {
    return description_;
}

void MicCapture::Shared::receive(const float* interleaved, std::size_t sampleCount,
                                 StreamFormat format, std::uint64_t stream) {
    if (stream != generation.load() || format.channels <= 0)
        return;
    std::optional<std::vector<float>> converted;
    {
        std::lock_guard lock(resamplerMutex);
        if (!resampler || resampler->inputRate() != format.sampleRate ||
            resampler->channels() != format.channels)
            resampler = Resampler::make(format.sampleRate, format.channels);
        if (!resampler)
            return;
        converted = resampler->convert(interleaved,
                                       sampleCount / static_cast<std::size_t>(format.channels));
    }
    if (converted && !converted->empty())
        take(*converted);
}

void MicCapture::Shared::take(const std::vector<float>& converted) {
    {
        std::lock_guard lock(lastAudioMutex);
        lastAudio = clock.now();
    }
    const double seconds = static_cast<double>(converted.size()) / rate;
    if (gate.load()) {
        std::lock_guard lock(countersMutex);
        counters.ignored += seconds;
        return;
    }
    std::size_t excess;
    {
        std::lock_guard lock(samplesMutex);
        excess = samples.append(converted.data(), converted.size());
    }
    double dropped;
    {
        std::lock_guard lock(countersMutex);
        counters.received += seconds;
        counters.dropped += static_cast<double>(excess) / rate;
        dropped = counters.dropped;
    }
    if (excess > 0 && dropped < 0.05)
        Log::error("Mic buffer full: dropping audio");
}

void MicCapture::check(SystemTime now) {
    if (!running_)
        return;
    std::optional<SystemTime> lastAudio;
    {
        std::lock_guard lock(shared_->lastAudioMutex);
        lastAudio = shared_->lastAudio;
    }
    const bool silent = isStalled(lastAudio, startedAt_, now);
    stalls_ = silent ? stalls_ + 1 : 0;

    if (fallBack(stalls_, followsMeeting_)) {
        Log::info("The meeting's mic gives no audio; switching to the default input");
        useDefault_ = true;
    }

    if (!useDefault_ && meetingDevice) {
        if (auto wanted = meetingDevice()) {
            // A device that could not be opened at the last start is not a move.
            const bool moved = (!device_ || *device_ != *wanted) && wanted != unusable_;
            if (moved) {
                Log::info("Mic {}; rebuilding", "moved with the meeting");
                restart(0);
            } else if (silent) {
                Log::info("Mic {}; rebuilding", "gave no audio");
                restart(0);
            }
            return;
        }
    }
    if (silent) {
        Log::info("Mic {}; rebuilding", "gave no audio");
        restart(0);
    }
}

void MicCapture::restart(int attempt) {
    if (stopped_ || paused_ || !(running_ || attempt > 0))
        return;
    retry_.cancel();
    std::optional<Device> chosen;
    if (!useDefault_ && meetingDevice)
        chosen = meetingDevice();
    openStream(chosen, attempt);
}

} // namespace tallyvox
