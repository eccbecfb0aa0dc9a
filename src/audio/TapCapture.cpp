#include "audio/TapCapture.h"

#include "base/Log.h"
#include "base/SerialQueue.h"

#include <algorithm>
#include <cmath>
#include <spdlog/fmt/fmt.h>
#include <utility>

namespace tallyvox {

std::shared_ptr<TapCapture> TapCapture::make(std::shared_ptr<OutputTap> tap, Executor& main,
                                             std::shared_ptr<Executor> queue, Clock& clock,
                                             Options options) {
    if (!queue)
        queue = std::make_shared<SerialQueue>("com.tallyvox.capture");
    return std::shared_ptr<TapCapture>(
        new TapCapture(std::move(tap), main, std::move(queue), clock, options));
}

TapCapture::TapCapture(std::shared_ptr<OutputTap> tap, Executor& main,
                       std::shared_ptr<Executor> queue, Clock& clock, Options options)
    : tap_(std::move(tap))
    , main_(main)
    , queue_(std::move(queue))
    , clock_(clock)
    , options_(options)
    , processor_(std::make_shared<CaptureProcessor>(clock, options.bufferLimit)) {}

TapCapture::~TapCapture() {
    // The owner stops us first; this only makes sure no stream outlives the service.
    tap_->close();
    watchdog_.cancel();
    retry_.cancel();
}

void TapCapture::start(const ConsentRecord& consent) {
    buildDevice();
    running_ = true;
    paused_ = false;
    lastReceived_ = -1;
    wasPlaying_ = false;
    std::weak_ptr<TapCapture> weak = weak_from_this();
    watchdog_.cancel();
    watchdog_ = main_.repeating(Executor::Duration(options_.watchdogInterval), [weak] {
        if (auto self = weak.lock())
            self->rebuildIfStalled();
    });
    Log::info("Capture started for {}", consent.meetingID);
}

void TapCapture::pause() {
    paused_ = true;
    retry_.cancel();
    teardownDevice();
}

void TapCapture::resume() {
    paused_ = false;
    lastReceived_ = -1;
    buildDevice();
}

void TapCapture::stop() {
    watchdog_.cancel();
    retry_.cancel();
    running_ = false;
    teardownDevice();
    processor_->reset();
    Log::info("Capture stopped; audio released");
}

std::vector<float> TapCapture::drain() {
    return processor_->drain();
}

AudioCaptureService::Stats TapCapture::stats() const {
    return processor_->stats();
}

void TapCapture::buildDevice() {
    teardownDevice();
    const std::uint64_t generation = ++generation_;
    std::weak_ptr<TapCapture> weak = weak_from_this();
    std::weak_ptr<Executor> queue = queue_;
    std::weak_ptr<CaptureProcessor> processor = processor_;
    Clock* clock = &clock_;
    Executor* main = &main_;

    OutputTap::Handlers handlers;
    handlers.audio = [processor, queue, clock, generation](std::vector<float>&& interleaved) {
        double at = clock->uptime();
        if (auto q = queue.lock())
            q->post([processor, generation, at, buffer = std::move(interleaved)] {
                if (auto p = processor.lock())
                    p->process(buffer.data(), buffer.size(), generation, at);
            });
    };
    handlers.lost = [weak, main, generation](const std::string& reason) {
        main->post([weak, generation, reason] {
            if (auto self = weak.lock())
                self->streamLost(generation, reason);
        });
    };
    handlers.outputChanged = [weak, main, generation] {
        main->post([weak, generation] {
            if (auto self = weak.lock())
                self->outputChanged(generation);
        });
    };

    StreamFormat format = tap_->open(std::move(handlers));
    if (!processor_->useStream(generation, format.sampleRate, format.channels)) {
        Log::error("Unusable capture format: {} Hz, {} ch", format.sampleRate, format.channels);
        teardownDevice();
        throw CaptureError::badFormat();
    }
    streamOpen_ = true;
}

void TapCapture::teardownDevice() {
    streamOpen_ = false;
    tap_->close();
}

void TapCapture::rebuildIfStalled() {
    if (paused_ || !running_ || retry_.isActive())
        return;
    double received = stats().receivedSeconds;
    double previous = lastReceived_;
    lastReceived_ = received;
    // A quiet output delivers nothing on some servers; that is no stall. Playing at the
    // previous tick too gives a stream that just woke up one interval to deliver.
    const bool playing = tap_->isPlaying();
    const bool wasPlaying = std::exchange(wasPlaying_, playing);
    if (received != previous || !playing || !wasPlaying)
        return;
    Log::info("No audio for 5 s after {:.1f} s; rebuilding capture", received);
    lastReceived_ = -1;
    try {
        buildDevice();
    } catch (const std::exception& error) {
        Log::error("Capture retry failed: {}", error.what());
    }
}

void TapCapture::outputChanged(std::uint64_t generation) {
    if (generation != generation_ || !streamOpen_ || paused_ || !running_)
        return;
    Log::info("Output device changed; rebuilding capture");
    try {
        buildDevice();
    } catch (const Error& error) {
        if (onFailure)
            onFailure(error);
    }
}

void TapCapture::streamLost(std::uint64_t generation, const std::string& reason) {
    if (generation != generation_ || !streamOpen_ || paused_ || !running_)
        return;
    Log::info("Capture stream ended ({}); rebuilding capture", reason);
    teardownDevice();
    recover();
}

void TapCapture::recover() {
    retry_.cancel();
    if (paused_ || !running_)
        return;
    try {
        buildDevice();
        lastReceived_ = -1;
        failedRetries_ = 0;
        Log::info("Capture rebuilt");
        return;
    } catch (const std::exception& error) {
        // While the server is away this fails every second; say so now and then.
        if (failedRetries_++ % 30 == 0)
            Log::error("Capture retry failed: {}", error.what());
    }
    std::weak_ptr<TapCapture> weak = weak_from_this();
    retry_ = main_.postAfter(Executor::Duration(options_.retryInterval), [weak] {
        if (auto self = weak.lock())
            self->recover();
    });
}

} // namespace tallyvox
