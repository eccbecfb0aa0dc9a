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
    follow_.cancel();
    retry_.cancel();
}

void TapCapture::start(const ConsentRecord& consent) {
    running_ = true;
    paused_ = false;
    lastReceived_ = -1;
    wasPlaying_ = false;
    buildDevice(Build::start);
    std::weak_ptr<TapCapture> weak = weak_from_this();
    watchdog_.cancel();
    watchdog_ = main_.repeating(Executor::Duration(options_.watchdogInterval), [weak] {
        if (auto self = weak.lock())
            self->rebuildIfStalled();
    });
    follow_.cancel();
    follow_ = main_.repeating(Executor::Duration(options_.followInterval), [weak] {
        if (auto self = weak.lock())
            self->followMeeting();
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
    buildDevice(Build::start);
}

void TapCapture::stop() {
    watchdog_.cancel();
    follow_.cancel();
    retry_.cancel();
    running_ = false;
    teardownDevice();
    // Buffers still queued for conversion belong to the released stream.
    processor_->reset();
    Log::info("Capture stopped; audio released");
}

std::vector<float> TapCapture::drain() {
    return processor_->drain();
}

AudioCaptureService::Stats TapCapture::stats() const {
    return processor_->stats();
}

std::optional<std::uint32_t> TapCapture::wantedOutput() {
    if (meetingOutput)
        if (auto now = meetingOutput())
            meetingOutput_ = now;
    return meetingOutput_;
}

void TapCapture::buildDevice(Build why) {
    teardownDevice();
    const std::uint64_t generation = ++generation_;
    starting_ = true;
    build_ = why;
    std::weak_ptr<TapCapture> weak = weak_from_this();
    std::weak_ptr<Executor> queue = queue_;
    std::weak_ptr<CaptureProcessor> processor = processor_;
    Clock* clock = &clock_;
    Executor* main = &main_;

    OutputTap::Handlers handlers;
    // Runs before any audio of the stream, so its first buffer is converted in its format.
    handlers.opened = [weak, main, processor, generation](const OutputTap::Opened& opened) {
        auto p = processor.lock();
        bool usable =
            p && p->useStream(generation, opened.format.sampleRate, opened.format.channels);
        main->post([weak, generation, opened, usable] {
            if (auto self = weak.lock())
                self->streamOpened(generation, opened, usable);
        });
    };
    handlers.failed = [weak, main, generation](const std::string& error) {
        main->post([weak, generation, error] {
            if (auto self = weak.lock())
                self->streamFailed(generation, CaptureError(error));
        });
    };
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
    tap_->open(wantedOutput(), std::move(handlers));
}

void TapCapture::teardownDevice() {
    // Results of a stream still being built are dropped.
    ++generation_;
    streamOpen_ = false;
    starting_ = false;
    recorded_.reset();
    tap_->close();
}

void TapCapture::streamOpened(std::uint64_t generation, const OutputTap::Opened& opened,
                              bool usable) {
    if (generation != generation_)
        return;
    starting_ = false;
    if (!usable) {
        Log::error("Unusable capture format: {} Hz, {} ch", opened.format.sampleRate,
                   opened.format.channels);
        teardownDevice();
        buildFailed(CaptureError::badFormat());
        return;
    }
    streamOpen_ = true;
    recorded_ = opened.output;
    // The tap records the default output when the one asked for has gone.
    if (meetingOutput_ && *meetingOutput_ != opened.output)
        unusableOutput_ = meetingOutput_;
    else
        unusableOutput_.reset();
    if (build_ == Build::recovery) {
        lastReceived_ = -1;
        failedRetries_ = 0;
        Log::info("Capture rebuilt");
    }
}

void TapCapture::streamFailed(std::uint64_t generation, const Error& error) {
    if (generation != generation_)
        return;
    teardownDevice();
    buildFailed(error);
}

void TapCapture::buildFailed(const Error& error) {
    switch (build_) {
    case Build::start:
    case Build::outputChange:
        if (onFailure)
            onFailure(error);
        return;
    case Build::watchdog:
        // Tried again at a later tick; the owner is not told.
        Log::error("Capture retry failed: {}", error.what());
        return;
    case Build::recovery:
        break;
    }
    // While the server is away this fails every second; say so now and then.
    if (failedRetries_++ % 30 == 0)
        Log::error("Capture retry failed: {}", error.what());
    if (paused_ || !running_)
        return;
    std::weak_ptr<TapCapture> weak = weak_from_this();
    retry_ = main_.postAfter(Executor::Duration(options_.retryInterval), [weak] {
        if (auto self = weak.lock())
            self->recover();
    });
}

void TapCapture::followMeeting() {
    if (paused_ || !running_ || !streamOpen_)
        return;
    auto wanted = wantedOutput();
    if (!wanted || wanted == recorded_ || wanted == unusableOutput_)
        return;
    Log::info("Meeting plays to another output; rebuilding capture");
    buildDevice(Build::outputChange);
}

void TapCapture::rebuildIfStalled() {
    if (paused_ || !running_ || starting_ || retry_.isActive())
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
    buildDevice(Build::watchdog);
}

void TapCapture::outputChanged(std::uint64_t generation) {
    if (generation != generation_ || !streamOpen_ || paused_ || !running_)
        return;
    Log::info("Output device changed; rebuilding capture");
    buildDevice(Build::outputChange);
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
    buildDevice(Build::recovery);
}

} // namespace tallyvox
